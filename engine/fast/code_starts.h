// A map of where codes start in a window of kEdgeBits bits: one bit per position, set where a
// code starts. Two decoders that note their code starts over the same bits stand on the same
// boundaries from the first position both maps mark.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace ravmolt {

// Wide enough for codes of nearly one length with a rare longer one (hex dumps, base64 with line
// breaks), which drift into step only over hundreds of codes.
constexpr unsigned kEdgeBits = 8192;
using CodeStarts = std::array<std::uint64_t, kEdgeBits / 64>;

inline void markCodeStart(CodeStarts& map, unsigned offset) {
  map[offset / 64] |= std::uint64_t{1} << (offset % 64);
}

// The first offset that both maps mark, or kEdgeBits when none.
inline unsigned firstCommonStart(const CodeStarts& a, const CodeStarts& b) {
  for (std::size_t word = 0; word < a.size(); ++word) {
    const std::uint64_t both = a[word] & b[word];
    if (both != 0) return static_cast<unsigned>(word * 64 + std::countr_zero(both));
  }
  return kEdgeBits;
}

// The last offset that `map` marks, or kEdgeBits when none.
inline unsigned lastCodeStart(const CodeStarts& map) {
  for (std::size_t word = map.size(); word-- > 0;) {
    if (map[word] != 0) return static_cast<unsigned>(word * 64 + 63 - std::countl_zero(map[word]));
  }
  return kEdgeBits;
}

// How many code starts `map` marks below `offset`: the codes that begin before it.
inline std::size_t codeStartsBelow(const CodeStarts& map, unsigned offset) {
  std::size_t count = 0;
  for (std::size_t word = 0; word < offset / 64; ++word) count += std::popcount(map[word]);
  if (offset % 64 != 0) {
    count += std::popcount(map[offset / 64] & ((std::uint64_t{1} << (offset % 64)) - 1));
  }
  return count;
}

}  // namespace ravmolt
