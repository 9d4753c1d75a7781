// When all 256 codes are 8 bits long (flat counts, as for random bytes), every payload byte is one
// code, and decoding is a byte translation through a table of 256 symbols.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fast/bit_window.h"
#include "engine/format/code_tree.h"

namespace ravmolt {

// out[i] = symbols[in[i]] for i < count, where `symbols` is 256 bytes, 64-byte aligned; `in` and
// `out` may not overlap. One of the decode loops (see DecodeLoops).
using TranslateBytes = void (*)(const std::uint8_t* symbols, const std::uint8_t* in,
                                std::uint8_t* out, std::size_t count);
// The portable one, a byte at a time.
void translateBytes(const std::uint8_t* symbols, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t count);

class ByteTranslation {
 public:
  // The symbol of each byte read as a code of the tree under `root`, every one of whose codes is
  // 8 bits long.
  explicit ByteTranslation(const TreeNode* root);

  // The `count` codes of `stream` from `from` on into `out`; reads the bytes that hold their bits.
  // Codes on byte boundaries go through `translate`.
  void applyAt(const std::uint8_t* stream, BitPosition from, std::size_t count, std::uint8_t* out,
               TranslateBytes translate = translateBytes) const;

  std::uint8_t symbolOf(std::uint8_t byte) const { return symbols_[byte]; }
  const std::uint8_t* symbols() const { return symbols_; }

 private:
  alignas(64) std::uint8_t symbols_[256];
};

}  // namespace ravmolt
