#include "engine/format/reference_walk.h"

namespace ravmolt {

DecodeStatus walkTree(const TreeNode* root, BitReader& bits, std::int32_t bitCount,
                      DestinationStream& destination) {
  const TreeNode* node = root;
  for (std::int32_t taken = 0; taken < bitCount; ++taken) {
    node = bits.nextBit() != 0 ? node->right : node->left;
    if (isLeaf(node)) {
      destination.put(node->symbol);
      node = root;
    }
  }
  return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
}

}  // namespace ravmolt
