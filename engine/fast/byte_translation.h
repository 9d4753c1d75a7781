// When all 256 codes are 8 bits long (flat counts, as for random bytes), every payload byte is one
// code, and decoding is a byte translation through a table of 256 symbols.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fast/decode_table.h"

namespace ravmolt {

class ByteTranslation {
 public:
  // The symbol of each byte read as a code, from the root lookups of `table`; it is the decoding
  // only when every code is 8 bits.
  explicit ByteTranslation(const DecodeTable& table);

  // out[i] = symbolOf(in[i]) for i < count; the two may not overlap.
  void apply(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const;

  std::uint8_t symbolOf(std::uint8_t byte) const { return symbols_[byte]; }

 private:
  alignas(64) std::uint8_t symbols_[256];
};

}  // namespace ravmolt
