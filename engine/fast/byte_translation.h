// When all 256 codes are 8 bits long (flat counts, as for random bytes), every payload byte is one
// code, and decoding is a byte translation through a table of 256 symbols.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fast/bit_window.h"
#include "engine/format/code_tree.h"

namespace ravmolt {

class ByteTranslation {
 public:
  // The symbol of each byte read as a code of the tree under `root`, every one of whose codes is
  // 8 bits long.
  explicit ByteTranslation(const TreeNode* root);

  // out[i] = symbolOf(in[i]) for i < count; the two may not overlap.
  void apply(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const;
  // The `count` codes of `stream` from `from` on into `out`; reads the bytes that hold their bits.
  void applyAt(const std::uint8_t* stream, BitPosition from, std::size_t count,
               std::uint8_t* out) const;

  std::uint8_t symbolOf(std::uint8_t byte) const { return symbols_[byte]; }

 private:
  alignas(64) std::uint8_t symbols_[256];
};

}  // namespace ravmolt
