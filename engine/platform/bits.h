// Platform: byte swaps and bit counts on 64-bit words, and a hint to fetch memory early, through
// the compiler's own operations where it has them (one instruction on every processor the project
// builds for) and standard C++ where it does not.
#pragma once

#include <bit>
#include <cstdint>

namespace ravmolt {

inline std::uint64_t byteSwap64(std::uint64_t word) {
#if defined(__GNUC__)
  return __builtin_bswap64(word);
#else
  word = ((word & 0x00FF00FF00FF00FFULL) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFULL);
  word = ((word & 0x0000FFFF0000FFFFULL) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFULL);
  return (word << 32) | (word >> 32);
#endif
}

// The trailing zeros of a word that is not zero, without the case for zero that
// std::countr_zero must keep: on plain x86-64 that case is a test and a conditional move more.
inline unsigned trailingZerosOfNonZero(std::uint64_t word) {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(word));
#else
  return static_cast<unsigned>(std::countr_zero(word));
#endif
}

// Asks for the cache line `offset` bytes from `base` to be fetched into the first-level cache for
// reading. Only a hint: it never faults, so the line may lie past the end of what `base` points
// into, and the address is formed as an integer, not as a pointer past that end. Always inlined:
// g++ 12 dropped the hint altogether where it inlined this into the decode loops on its own.
[[gnu::always_inline]] inline void prefetchForReading(const std::uint8_t* base,
                                                      std::uint64_t offset) {
#if defined(__GNUC__)
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(base) + offset),
                     0, 3);
#else
  (void)base;
  (void)offset;
#endif
}

}  // namespace ravmolt
