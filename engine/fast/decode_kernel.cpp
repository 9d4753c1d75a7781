#include "engine/fast/decode_kernel.h"

#include <algorithm>
#include <numeric>

namespace ravmolt {
namespace {

using Table = DecodeTable;

void addLeafDepths(const TreeNode* node, int depth, CodeShape& shape) {
  if (isLeaf(node)) {
    shape.shortest = std::min(shape.shortest, depth);
    shape.longest = std::max(shape.longest, depth);
    shape.lengthDivisor = std::gcd(shape.lengthDivisor, depth);
    return;
  }
  addLeafDepths(node->left, depth + 1, shape);
  addLeafDepths(node->right, depth + 1, shape);
}

}  // namespace

[[gnu::noinline]] void decodeLongCode(const Table& table, Lane& lane) {
  const DecodeEntry* current = table.table(0);
  int width = Table::kTableBits;
  for (;;) {
    const DecodeEntry entry = current[peekBits(windowAt(lane.in, lane.bit), width)];
    const unsigned count = Table::symbolCountOf(entry);
    if (count != 0) {
      skipBits(lane.in, lane.bit, Table::bitsOf(entry));
      storeSymbols(lane.out, entry);
      lane.out += count;
      return;
    }
    skipBits(lane.in, lane.bit, static_cast<unsigned>(width));
    const std::size_t next = Table::nextTableOf(entry);
    current = table.table(next);
    width = table.width(next);
  }
}

RAVMOLT_DECODE_LOOP void fastLoop(const Table& table, Lane& lane, const std::uint8_t* inEnd,
                                  const std::uint8_t* outEnd) {
  if (inEnd - lane.in < static_cast<std::ptrdiff_t>(kInputMargin)) return;
  const DecodeEntry* const root = table.table(0);
  const std::uint8_t* const inLast = inEnd - kInputMargin;
  const std::uint8_t* const outLast = outEnd - kOutputMargin;
  Lane local = lane;
  while (local.in <= inLast && local.out <= outLast) decodeWindow(table, root, local);
  lane = local;
}

CodeShape shapeOf(const TreeNode* root) {
  CodeShape shape{256, 0, 0};
  addLeafDepths(root, 0, shape);
  return shape;
}

}  // namespace ravmolt
