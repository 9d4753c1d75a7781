#include "engine/decode_table.h"

#include <cassert>

namespace ravmolt {

void DecodeTable::build(const TreeNode* root) {
  assert(root != nullptr && !isLeaf(root));
  root_ = root;
  entries_.clear();
  starts_.clear();
  starts_.push_back(root);
  // Tables are added while earlier ones are filled; each inner node at a whole number of table
  // widths below the root is reached by exactly one entry, so none is added twice.
  for (std::size_t table = 0; table < starts_.size(); ++table) {
    entries_.resize(entries_.size() + kTableSize);
    for (std::size_t index = 0; index < kTableSize; ++index) {
      const DecodeEntry entry = makeEntry(starts_[table], index);
      entries_[table * kTableSize + index] = entry;
    }
  }
}

std::size_t DecodeTable::tableFor(const TreeNode* node) {
  starts_.push_back(node);
  return starts_.size() - 1;
}

// Walks the kTableBits bits of `index` from `start`, restarting at the root after each leaf, and
// keeps the complete codes (at most kMaxSymbols of them).
DecodeEntry DecodeTable::makeEntry(const TreeNode* start, std::size_t index) {
  const TreeNode* node = start;
  DecodeEntry symbols = 0;
  unsigned count = 0;
  unsigned consumed = 0;
  for (unsigned taken = 1; taken <= static_cast<unsigned>(kTableBits); ++taken) {
    const bool bit = ((index >> (kTableBits - static_cast<int>(taken))) & 1U) != 0;
    node = bit ? node->right : node->left;
    if (!isLeaf(node)) continue;
    symbols |= DecodeEntry{node->symbol} << (8 * count);
    ++count;
    consumed = taken;
    node = root_;
    if (count == kMaxSymbols) break;
  }
  if (count == 0) {
    // No code ends within these bits: consume them all and continue from the node reached.
    return static_cast<DecodeEntry>(kTableBits) | (DecodeEntry{tableFor(node)} << kSymbolShift);
  }
  return consumed | (DecodeEntry{count} << 8) | (symbols << kSymbolShift);
}

}  // namespace ravmolt
