#include "engine/fast/byte_translation.h"

#include "engine/platform/byte_permutes.h"

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

void ByteTranslation::applyAt(const std::uint8_t* stream, BitPosition from, std::size_t count,
                              std::uint8_t* out) const {
  const std::uint8_t* const bytes = stream + from / 8;
  const unsigned shift = from % 8;
  if (shift == 0) {
    apply(bytes, out, count);
    return;
  }
  // Off a byte boundary every code straddles two bytes. The decoders never start a byte
  // translation there, since all codes are 8 bits, but a guessed start could.
  for (std::size_t i = 0; i < count; ++i) {
    out[i] =
        symbols_[static_cast<std::uint8_t>((bytes[i] << shift) | (bytes[i + 1] >> (8 - shift)))];
  }
}

void ByteTranslation::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const {
  const std::size_t done = translateWithPermutes(symbols_, in, out, count);
  for (std::size_t i = done; i < count; ++i) out[i] = symbols_[in[i]];
}

}  // namespace ravmolt
