// Code trees whose shape decides whether a decoder started at a guessed position ever falls
// into step with the true code boundaries.
#pragma once

#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "engine/format/format.h"

namespace ravmolt::testing {

// Eight equal counts: every code is 3 bits, so a guess a multiple of 3 bits from a true boundary
// is in step at once, and any other guess never is.
inline FrequencyTable threeBitCounts() {
  FrequencyTable counts{};
  for (std::size_t i = 0; i < 8; ++i) counts['a' + i] = 1;
  return counts;
}

// Nine counts whose code lengths (2 to 4 bits) have no common divisor, yet a decoder started off a
// true boundary stays off every one, on any bits. Found by searching, over small counts, for a
// tree in which no pair of nodes two such decoders can stand on leads to both at the root.
inline FrequencyTable neverInStepCounts() {
  FrequencyTable counts{};
  const std::int32_t weights[] = {6, 2, 4, 6, 5, 12, 10, 4, 4};
  for (std::size_t i = 0; i < std::size(weights); ++i) counts['a' + i] = weights[i];
  return counts;
}

// Codes of 1 to 6 bits above 250 codes of 13 and 14 bits, which fill 1/64 of the code space: on
// random bits about one code in 70 is longer than a table lookup, far more often than any real
// data makes them.
inline FrequencyTable manyLongCodesCounts() {
  FrequencyTable counts{};
  for (std::size_t k = 0; k < 6; ++k) counts[k] = std::int32_t{1} << (20 - k);
  for (std::size_t s = 6; s < counts.size(); ++s) counts[s] = 100;
  return counts;
}

// `symbols` equal counts ('a', 'b', ...) and a newline once a line of `line` of them, as in hex
// dumps (16, 60) and base64 (64, 76): nearly every code has one length, and the newline and a
// symbol or two a longer one, so that the lengths have no common divisor above 1.
inline FrequencyTable nearFlatCounts(std::size_t symbols, std::int32_t line) {
  FrequencyTable counts{};
  for (std::size_t i = 0; i < symbols; ++i) counts['0' + i] = line * 16;
  counts['\n'] = static_cast<std::int32_t>(symbols) * 16;
  return counts;
}

// `size` bytes drawn at random from the symbols 'a', 'b', ... that have a positive count.
inline std::vector<std::uint8_t> randomSymbols(const FrequencyTable& counts, std::size_t size,
                                               std::uint32_t seed) {
  std::vector<std::uint8_t> symbols;
  for (std::size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] > 0) symbols.push_back(static_cast<std::uint8_t>(s));
  }
  std::vector<std::uint8_t> data(size);
  std::mt19937 random(seed);
  for (auto& byte : data) byte = symbols[random() % symbols.size()];
  return data;
}

}  // namespace ravmolt::testing
