#include "engine/platform/byte_permutes.h"

#if RAVMOLT_X86_LOOPS
#include <immintrin.h>

namespace ravmolt {

// Each half of the table is one 128-entry two-register permute, and the top bit of each byte
// picks the half.
RAVMOLT_TARGET_PERMUTES void translateWithPermutes(const std::uint8_t* symbols,
                                                   const std::uint8_t* in, std::uint8_t* out,
                                                   std::size_t count) {
  const __m512i low0 = _mm512_load_si512(symbols);
  const __m512i low1 = _mm512_load_si512(symbols + 64);
  const __m512i high0 = _mm512_load_si512(symbols + 128);
  const __m512i high1 = _mm512_load_si512(symbols + 192);
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const __m512i bytes = _mm512_loadu_si512(in + i);
    const __m512i low = _mm512_permutex2var_epi8(low0, bytes, low1);
    const __m512i high = _mm512_permutex2var_epi8(high0, bytes, high1);
    _mm512_storeu_si512(out + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(bytes), low, high));
  }
  for (; i < count; ++i) out[i] = symbols[in[i]];
}

}  // namespace ravmolt
#endif
