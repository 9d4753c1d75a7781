#include "engine/fast/decode_table.h"

#include <algorithm>
#include <cassert>
#include <numeric>

namespace ravmolt {
namespace {

void addLeafDepths(const TreeNode* node, int depth, CodeShape& shape,
                   std::array<std::uint8_t, kSymbolCount>& lengths) {
  if (isLeaf(node)) {
    shape.shortest = std::min(shape.shortest, depth);
    shape.longest = std::max(shape.longest, depth);
    shape.lengthDivisor = std::gcd(shape.lengthDivisor, depth);
    lengths[node->symbol] = static_cast<std::uint8_t>(depth);  // a tree is at most 255 deep
    return;
  }
  addLeafDepths(node->left, depth + 1, shape, lengths);
  addLeafDepths(node->right, depth + 1, shape, lengths);
}

// The length of the longest path from `node` down to a leaf.
int heightOf(const TreeNode* node) {
  if (isLeaf(node)) return 0;
  return 1 + std::max(heightOf(node->left), heightOf(node->right));
}

}  // namespace

void DecodeTable::build(const TreeNode* root, int rootBits) {
  assert(root != nullptr && !isLeaf(root));
  assert(rootBits == kTableBits || rootBits == kSmallRootBits);
  root_ = root;
  rootBits_ = rootBits;
  shape_ = {256, 0, 0};
  codeLengths_.fill(0);
  addLeafDepths(root, 0, shape_, codeLengths_);
  entries_.clear();
  translation_.reset();
  if (shape_.isByteTranslation()) {
    starts_.clear();
    widths_.clear();
    offsets_.clear();
    translation_.emplace(root);
    return;
  }
  starts_.assign(1, root);
  widths_.assign(1, rootBits);
  offsets_.assign(1, 0);
  // Tables are added while earlier ones are filled; each inner node that a lookup of a table's
  // whole width leads to is reached by exactly one entry, so none is added twice. A table below
  // the root narrower than kTableBits holds every code under its node and leads to none.
  for (std::size_t table = 0; table < starts_.size(); ++table) {
    const std::size_t size = std::size_t{1} << widths_[table];
    offsets_[table] = entries_.size();
    entries_.resize(entries_.size() + size);
    for (std::size_t index = 0; index < size; ++index) {
      entries_[offsets_[table] + index] = makeEntry(starts_[table], widths_[table], index);
    }
  }
}

std::size_t DecodeTable::tableFor(const TreeNode* node) {
  starts_.push_back(node);
  widths_.push_back(std::min(kTableBits, heightOf(node)));
  offsets_.push_back(0);  // set when the table is filled
  return starts_.size() - 1;
}

// Walks the `width` bits of `index` from `start`, restarting at the root after each leaf, and
// keeps the complete codes (at most kMaxSymbols of them).
DecodeEntry DecodeTable::makeEntry(const TreeNode* start, int width, std::size_t index) {
  const TreeNode* node = start;
  DecodeEntry symbols = 0;
  unsigned count = 0;
  unsigned consumed = 0;
  for (unsigned taken = 1; taken <= static_cast<unsigned>(width); ++taken) {
    const bool bit = ((index >> (width - static_cast<int>(taken))) & 1U) != 0;
    node = bit ? node->right : node->left;
    if (!isLeaf(node)) continue;
    symbols |= DecodeEntry{node->symbol} << (8 * count);
    ++count;
    consumed = taken;
    node = root_;
    if (count == kMaxSymbols) break;
  }
  if (count == 0) {
    // No code ends within these bits: continue from the node reached, after all of them.
    return DecodeEntry{tableFor(node)} << kSymbolShift;
  }
  return consumed | (DecodeEntry{count} << 8) | (symbols << kSymbolShift);
}

}  // namespace ravmolt
