// The reference bit source: hands out payload bits one at a time, most significant bit of each
// byte first, reading the next byte when the last bit of the current one is handed out.
#pragma once

#include <array>
#include <cstdint>

#include "engine/io/source_stream.h"

namespace ravmolt {

class BitReader {
 public:
  // Reads the first payload byte at once, from the source's current position.
  explicit BitReader(SourceStream& source);

  // Returns 0 or 1. Past the end of the source the bits still held are handed out, then the
  // lowest one again and again; callers bound the number of calls.
  int nextBit() {
    if (index_ != 0) return bits_[static_cast<std::size_t>(index_--)];
    const int bit = bits_[0];
    refill();
    return bit;
  }

 private:
  // Loads the next byte into bits_; at the end of the source, keeps what it has.
  void refill();

  SourceStream* source_;
  int index_ = 7;                       // position in bits_ of the next bit, 7 down to 0
  std::array<std::uint8_t, 8> bits_{};  // bits_[k] is bit k of the current byte
};

}  // namespace ravmolt
