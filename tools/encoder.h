// A small encoder for the compressed format, used by tests, samples and benchmarks. It builds its
// codes with the engine's own buildTree, so whatever it writes, the decoder must read back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/format/code_tree.h"
#include "engine/format/format.h"

namespace ravmolt::tools {

// A code of up to 255 bits, packed MSB-first: bit i is bit 63 - i % 64 of words[i / 64].
struct Code {
  std::array<std::uint64_t, 4> words{};
  int length = 0;  // 0: the symbol has no code
};
using CodeTable = std::array<Code, kSymbolCount>;

enum class TableOrder { ascending, descending };

// The code of every leaf: 0 for each step left, 1 for each step right. Symbols without a leaf keep
// length 0, and so does the filler leaf of a one-symbol tree.
CodeTable codesFromTree(const TreeNode* root);

FrequencyTable countBytes(std::span<const std::uint8_t> data);

// Encodes `data` with the tree of `frequencies`; the table lists every nonzero count. Returns
// nothing when a byte of `data` has no code or the payload would exceed INT32_MAX bits.
std::optional<std::vector<std::uint8_t>> encodeWithTable(const FrequencyTable& frequencies,
                                                         std::span<const std::uint8_t> data,
                                                         TableOrder order = TableOrder::ascending);

// Encodes `data` with its own byte counts.
std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> data,
                                                TableOrder order = TableOrder::ascending);

}  // namespace ravmolt::tools
