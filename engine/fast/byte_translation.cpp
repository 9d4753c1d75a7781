#include "engine/fast/byte_translation.h"

namespace ravmolt {

ByteTranslation::ByteTranslation(const TreeNode* root) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    const TreeNode* node = root;
    for (int bit = 7; bit >= 0 && !isLeaf(node); --bit) {
      node = ((byte >> bit) & 1U) != 0 ? node->right : node->left;
    }
    symbols_[byte] = node->symbol;
  }
}

void translateBytes(const std::uint8_t* symbols, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = symbols[in[i]];
}

void ByteTranslation::applyAt(const std::uint8_t* stream, BitPosition from, std::size_t count,
                              std::uint8_t* out, TranslateBytes translate) const {
  const std::uint8_t* const bytes = stream + from / 8;
  const unsigned shift = from % 8;
  if (shift == 0) {
    translate(symbols_, bytes, out, count);
    return;
  }
  // Off a byte boundary every code straddles two bytes. The decoders never start a byte
  // translation there, since all codes are 8 bits, but a guessed start could.
  for (std::size_t i = 0; i < count; ++i) {
    out[i] =
        symbols_[static_cast<std::uint8_t>((bytes[i] << shift) | (bytes[i + 1] >> (8 - shift)))];
  }
}

}  // namespace ravmolt
