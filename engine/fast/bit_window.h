// Word-at-a-time access to an MSB-first bit stream held in memory. The fast decoder keeps a byte
// pointer and a bit offset 0..7 into that byte, and loads a fresh left-aligned window of at least
// 57 valid bits whenever it needs bits, instead of shifting bytes in one at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ravmolt {

static_assert(std::endian::native == std::endian::little,
              "the fast decoder stores symbols as little-endian words");

// The eight bytes at `bytes` as one MSB-first word: the first byte in the top eight bits. All
// eight bytes must be readable.
inline std::uint64_t loadBigEndian64(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return __builtin_bswap64(word);
}

// A left-aligned window starting `bit` (0..7) bits into `*bytes`: its top 64 - bit >= 57 bits are
// payload bits, the next one first. The window's low `bit` bits are zero and carry no meaning.
inline std::uint64_t windowAt(const std::uint8_t* bytes, unsigned bit) {
  return loadBigEndian64(bytes) << bit;
}

// The top `count` bits of `window` (1 <= count <= 63).
inline std::uint64_t peekBits(std::uint64_t window, int count) { return window >> (64 - count); }

// Moves a byte pointer and bit offset on by `count` bits.
inline void skipBits(const std::uint8_t*& bytes, unsigned& bit, unsigned count) {
  const unsigned total = bit + count;
  bytes += total >> 3;
  bit = total & 7U;
}

}  // namespace ravmolt
