// Word-at-a-time reads of an MSB-first bit stream held in memory. Every fast decoder holds its
// place as one BitPosition, counted from the top bit of the stream's first byte, and loads a
// fresh left-aligned window of at least 57 valid bits from there whenever it needs bits, instead
// of shifting bytes in one at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/platform/bits.h"

namespace ravmolt {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "words are turned around between the two byte orders only");

// A place in a bit stream held in memory: the number of bits before it, counted from the top bit
// of the stream's first byte. Bit p is bit 7 - p % 8 of byte p / 8.
using BitPosition = std::uint64_t;

// The eight bytes at `bytes` as one MSB-first word: the first byte in the top eight bits. All
// eight bytes must be readable. One load, and on little-endian hosts one byte swap.
inline std::uint64_t loadBigEndian64(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) return byteSwap64(word);
  return word;
}

// Stores `word` as eight bytes, its lowest byte first, whatever the host's byte order.
inline void storeLittleEndian64(std::uint8_t* bytes, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = byteSwap64(word);
  std::memcpy(bytes, &word, sizeof word);
}

// The window at `position` of `stream`: its top 64 - position % 8 >= 57 bits are the stream's
// bits from there; its low position % 8 bits are zero and carry no meaning. Reads the eight bytes
// from byte position / 8 on.
inline std::uint64_t windowAt(const std::uint8_t* stream, BitPosition position) {
  return loadBigEndian64(stream + position / 8) << (position % 8);
}

// The same for a stream whose last readable byte is just before `end`: the bits from `end` on
// read as zeros, and no byte from `end` on is touched.
inline std::uint64_t windowBefore(const std::uint8_t* stream, BitPosition position,
                                  const std::uint8_t* end) {
  const std::uint8_t* const at = stream + position / 8;
  if (at < end && end - at >= 8) return windowAt(stream, position);
  std::uint8_t bytes[8] = {};
  if (at < end) std::memcpy(bytes, at, static_cast<std::size_t>(end - at));
  return loadBigEndian64(bytes) << (position % 8);
}

// The top `count` bits of `window` (1 <= count <= 63).
inline std::uint64_t peekBits(std::uint64_t window, int count) { return window >> (64 - count); }

}  // namespace ravmolt
