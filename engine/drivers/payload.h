// Where a payload lies, for the drivers that decode it.
#pragma once

#include <cstdint>

#include "engine/io/source_stream.h"

namespace ravmolt {

// `bits` (> 0) payload bits from byte `offset` of `source` on, which holds every byte they need,
// as the header stage has checked: a source that is shorter when read has shrunk meanwhile.
struct Payload {
  SourceStream& source;
  std::uint64_t offset;
  std::uint64_t bits;
};

}  // namespace ravmolt
