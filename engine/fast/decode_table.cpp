#include "engine/fast/decode_table.h"

#include "engine/io/buffer.h"

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
  std::size_t nextTable = 1;  // the table the next entry without symbols leads to
  for (std::size_t table = 0; table < tableCount_; ++table) {
    const std::size_t entries = std::size_t{1} << widths_[table];
    for (std::size_t index = 0; index < entries; ++index) {
      entries_[offsets_[table] + index] = makeEntry(starts_[table], widths_[table], index, nextTable);
    }
  }
  assert(nextTable == tableCount_);
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
  offsets_[tableCount_] =
      offsets_[tableCount_ - 1] + (std::size_t{1} << widths_[tableCount_ - 1]);
  ++tableCount_;
}

// Walks the `width` bits of `index` from `start`, restarting at the root after each leaf, and
// keeps the complete codes (at most kMaxSymbols of them). An entry in which no code ends leads to
// `nextTable`, the next table in the layout.
DecodeEntry DecodeTable::makeEntry(const TreeNode* start, int width, std::size_t index,
                                   std::size_t& nextTable) const {
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
    assert(nextTable < tableCount_ && starts_[nextTable] == node);
    return DecodeEntry{nextTable++} << kSymbolShift;
  }
  return consumed | (DecodeEntry{count} << 8) | (symbols << kSymbolShift);
}

}  // namespace ravmolt
