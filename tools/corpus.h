// Deterministic synthetic data shaped like the kinds of files the decoder is measured on: English
// prose, roff man pages, source code, x86 executables, uniform random bytes, a skewed geometric
// distribution and Fibonacci-like weights. Only the byte statistics matter to a Huffman decoder,
// so each generator reproduces the shape of the code lengths, not the meaning.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/format/format.h"

namespace ravmolt::tools {

enum class CorpusKind {
  englishText,
  manPages,
  sourceCode,
  executable,
  randomBytes,       // every code 8 bits long
  skewedGeometric,   // byte k with probability 2^-(k+1): mostly 1- and 2-bit codes
  fibonacciWeights,  // ~40 symbols weighted like Fibonacci numbers: a deep caterpillar tree
};

inline constexpr std::array<CorpusKind, 7> kCorpusKinds = {
    CorpusKind::englishText,     CorpusKind::manPages,    CorpusKind::sourceCode,
    CorpusKind::executable,      CorpusKind::randomBytes, CorpusKind::skewedGeometric,
    CorpusKind::fibonacciWeights};

std::string_view corpusName(CorpusKind kind);

// `size` bytes of the given kind; the same seed gives the same bytes on every platform.
std::vector<std::uint8_t> makeCorpus(CorpusKind kind, std::size_t size, std::uint64_t seed = 1);

// The weights of the Fibonacci-like kind as a count table: byte value i (0..39) weighs the
// (i + 1)-th Fibonacci number. With every one of them present the deepest codes are 39 bits.
FrequencyTable fibonacciCounts();

}  // namespace ravmolt::tools
