// Platform: the symbols of a window of lookups stored at once, packed by AVX-512 VBMI2's byte
// compress, on x86-64 processors that have it (kFeaturePackedStores).
//
// The fast loops would otherwise store each lookup's symbols as a word of eight bytes, one store
// a lookup, and on processors with the compress those stores, not the lookups, set the pace. A
// byte compress gathers the kept bytes of a window's four words into one register, and one store
// writes them all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/platform/cpu_features.h"

#if RAVMOLT_X86_LOOPS
#include <immintrin.h>
#endif

namespace ravmolt {

// Bytes PackedWords::storeKept may write past the last byte it keeps.
constexpr std::size_t kPackedOverrun = 32;

#if RAVMOLT_X86_LOOPS
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

#endif

}  // namespace ravmolt
