// Platform: the symbols of a window of lookups stored at once, packed by a vector byte compress,
// where the processor has one.
//
// The fast loops would otherwise store each lookup's symbols as a word of eight bytes, one store
// a lookup. On the processors measured here those stores, not the lookups, set the pace: the same
// loop without them ran in half the time. A byte compress gathers the kept bytes of a window's
// four words into one register, and one store writes them all.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "engine/platform/decode_loops.h"

#if defined(__x86_64__) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#include <immintrin.h>
#define RAVMOLT_PACKED_STORES 1
// The functions that hold loops which pack: compiled for the vector instructions, with every call
// they make inlined into them, and called only where hasPackedStores() says the processor has them.
#define RAVMOLT_PACKED_DECODE_LOOP \
  [[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,lzcnt,movbe,popcnt"), gnu::flatten]]
#else
#define RAVMOLT_PACKED_STORES 0
#define RAVMOLT_PACKED_DECODE_LOOP
#endif

namespace ravmolt {

// Bytes PackedWords::storeKept may write past the last byte it keeps.
constexpr std::size_t kPackedOverrun = 32;

// True where PackedWords runs on vector instructions: only there do the loops that use it beat
// those that store each word on its own.
bool hasPackedStores();
// True where PackedWords may be stored: always for the portable one below, and where the processor
// has the vector instructions for the other.
inline bool canPackWords() { return !RAVMOLT_PACKED_STORES || hasPackedStores(); }

#if RAVMOLT_PACKED_STORES
#define RAVMOLT_PACK_TARGET [[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt")]]

// Four words, each holding in bytes 2..7 (lowest first) bytes to keep and in byte 1 how many of
// them to keep, at most 6; bytes 0 and 1 are never kept. Each word goes into a vector register as
// it is put: held in general registers until the pack, the words of eight lanes would wait in
// memory, as the lanes' windows, positions and outputs already take every general register.
class PackedWords {
 public:
  static constexpr std::size_t size() { return 4; }
  // Puts word i, 0 to 3, in that order.
  template <std::size_t i>
  RAVMOLT_PACK_TARGET void put(std::uint64_t word) {
    static_assert(i < size());
    const auto bits = static_cast<long long>(word);
    if constexpr (i == 0) low_ = _mm_cvtsi64_si128(bits);
    if constexpr (i == 1) low_ = _mm_insert_epi64(low_, bits, 1);
    if constexpr (i == 2) high_ = _mm_cvtsi64_si128(bits);
    if constexpr (i == 3) {
      high_ = _mm_insert_epi64(high_, bits, 1);
      last_ = word;
    }
  }
  std::uint64_t last() const { return last_; }

  // Stores the kept bytes of the four words at `out`, in order, and returns how many. Writes 32
  // bytes from `out` on.
  RAVMOLT_PACK_TARGET unsigned storeKept(std::uint8_t* out) const {
    const __m256i all = _mm256_set_m128i(high_, low_);
    // Byte 1 of each word copied to its eight bytes (the shuffle picks within each 16-byte half,
    // so the second word of a half finds its byte 1 at 9); byte j of a word is kept when its
    // place among bytes 2..7 is below that count (0xFF, for bytes 0 and 1, never is).
    const __m256i counts =
        _mm256_shuffle_epi8(all, _mm256_set_epi64x(0x0909090909090909, 0x0101010101010101,
                                                   0x0909090909090909, 0x0101010101010101));
    const __mmask32 keep = _mm256_cmplt_epu8_mask(_mm256_set1_epi64x(0x050403020100FFFF), counts);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi8(keep, all));
    return static_cast<unsigned>(__builtin_popcount(_cvtmask32_u32(keep)));
  }

 private:
  __m128i low_;   // words 0 and 1
  __m128i high_;  // words 2 and 3
  std::uint64_t last_;
};

#else

// The same, a word at a time, where the vector one is not built. The tests run the packed loops
// on it; no decoder chooses them there, as storing each word as it is looked up is faster.
class PackedWords {
 public:
  static constexpr std::size_t size() { return 4; }
  template <std::size_t i>
  void put(std::uint64_t word) {
    static_assert(i < size());
    words_[i] = word;
  }
  std::uint64_t last() const { return words_[3]; }

  unsigned storeKept(std::uint8_t* out) const {
    unsigned kept = 0;
    for (const std::uint64_t word : words_) {
      std::uint8_t bytes[8];
      for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
      std::memcpy(out + kept, bytes + 2, 6);
      kept += bytes[1];
    }
    return kept;
  }

 private:
  std::array<std::uint64_t, 4> words_{};
};

#endif

}  // namespace ravmolt
