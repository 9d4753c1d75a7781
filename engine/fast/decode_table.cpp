#include "engine/fast/decode_table.h"

#include <algorithm>
#include <cassert>
#include <numeric>

#include "engine/io/buffer.h"

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

bool DecodeTable::build(const TreeNode* root, int rootBits) {
  assert(root != nullptr && !isLeaf(root));
  assert(rootBits == kTableBits || rootBits == kSmallRootBits);
  root_ = root;
  rootBits_ = rootBits;
  shape_ = {256, 0, 0};
  codeLengths_.fill(0);
  addLeafDepths(root, 0, shape_, codeLengths_);
  translation_.reset();
  tableCount_ = 0;
  if (shape_.isByteTranslation()) {
    translation_.emplace(root);
    return true;
  }
  planTables();
  const std::size_t size = offsets_[tableCount_ - 1] + (std::size_t{1} << widths_[tableCount_ - 1]);
  if (size > capacity_) {
    entries_ = allocateArray<DecodeEntry>(size);
    capacity_ = entries_ ? size : 0;
    if (!entries_) {
      tableCount_ = 0;
      return false;
    }
  }
  Filling filling;
  filling.nextTable = 1;
  for (std::size_t table = 0; table < tableCount_; ++table) {
    filling.entries = entries_.get() + offsets_[table];
    filling.width = widths_[table];
    fillEntries(filling, starts_[table], 0, 0, Partial{});
  }
  assert(filling.nextTable == tableCount_);
  return true;
}

// Tables are laid out in the order the entries that lead to them are filled: table by table, and
// within a table by index, which is the order of their nodes from left to right. Each inner node
// that a lookup of a whole table's width reaches is reached by exactly one entry. A table below
// the root narrower than kTableBits holds every code under its node and leads to none.
void DecodeTable::planTables() {
  starts_[0] = root_;
  widths_[0] = rootBits_;
  offsets_[0] = 0;
  tableCount_ = 1;
  for (std::size_t table = 0; table < tableCount_; ++table) {
    addTablesBelow(starts_[table], 0, widths_[table]);
  }
}

void DecodeTable::addTablesBelow(const TreeNode* node, int depth, int width) {
  if (isLeaf(node)) return;
  if (depth < width) {
    addTablesBelow(node->left, depth + 1, width);
    addTablesBelow(node->right, depth + 1, width);
    return;
  }
  assert(tableCount_ < kMostTables);
  starts_[tableCount_] = node;
  widths_[tableCount_] = std::min(kTableBits, heightOf(node));
  offsets_[tableCount_] = offsets_[tableCount_ - 1] + (std::size_t{1} << widths_[tableCount_ - 1]);
  ++tableCount_;
}

// Fills the entries of one table by walking the tree once along every prefix of the table's
// width, in index order, restarting at the root after each leaf: the entries that share a prefix
// share its walk, so a table of 2^w entries costs at most 2^(w+1) steps rather than w for each
// entry. An entry in which no code ends leads to the next table in the layout.
void DecodeTable::fillEntries(Filling& filling, const TreeNode* node, int depth, std::size_t prefix,
                              Partial codes) const {
  if (depth == filling.width) {
    DecodeEntry entry = 0;
    if (codes.count == 0) {
      // No code ends within these bits: continue from the node reached, after all of them.
      assert(filling.nextTable < tableCount_ && starts_[filling.nextTable] == node);
      entry = DecodeEntry{filling.nextTable++} << kSymbolShift;
    } else {
      entry = codes.consumed | (DecodeEntry{codes.count} << 8) | (codes.symbols << kSymbolShift);
    }
    filling.entries[prefix] = entry;
    return;
  }
  for (std::size_t bit = 0; bit < 2; ++bit) {
    const TreeNode* child = bit != 0 ? node->right : node->left;
    const std::size_t index = prefix << 1 | bit;
    if (!isLeaf(child)) {
      fillEntries(filling, child, depth + 1, index, codes);
      continue;
    }
    Partial more = codes;
    more.symbols |= DecodeEntry{child->symbol} << (8 * more.count);
    ++more.count;
    more.consumed = static_cast<unsigned>(depth + 1);
    if (more.count < kMaxSymbols) {
      fillEntries(filling, root_, depth + 1, index, more);
      continue;
    }
    // The entry is full: every index that starts with these bits holds it.
    const int rest = filling.width - (depth + 1);
    const DecodeEntry entry =
        more.consumed | (DecodeEntry{more.count} << 8) | (more.symbols << kSymbolShift);
    std::fill_n(filling.entries + (index << rest), std::size_t{1} << rest, entry);
  }
}

}  // namespace ravmolt
