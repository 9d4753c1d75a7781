#include "engine/decode_kernel.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace ravmolt {
namespace {

using Table = DecodeTable;

// Decodes one entry (or one long code) and notes nothing else.
inline void decodeOneEntry(const Table& table, const DecodeEntry* root, Lane& lane) {
  const DecodeEntry entry = root[peekBits(windowAt(lane.in, lane.bit), Table::kTableBits)];
  if (Table::symbolCountOf(entry) == 0) {
    decodeLongCode(table, lane);
    return;
  }
  storeSymbols(lane.out, entry);
  lane.out += Table::symbolCountOf(entry);
  skipBits(lane.in, lane.bit, Table::bitsOf(entry));
}

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
    skipBits(lane.in, lane.bit, Table::bitsOf(entry));
    const unsigned count = Table::symbolCountOf(entry);
    if (count != 0) {
      storeSymbols(lane.out, entry);
      lane.out += count;
      return;
    }
    const std::size_t next = Table::nextTableOf(entry);
    current = table.table(next);
    width = table.width(next);
  }
}

void fastLoop(const Table& table, Lane& lane, const std::uint8_t* inEnd,
              const std::uint8_t* outEnd) {
  if (inEnd - lane.in < static_cast<std::ptrdiff_t>(kInputMargin)) return;
  const DecodeEntry* const root = table.table(0);
  const std::uint8_t* const inLast = inEnd - kInputMargin;
  const std::uint8_t* const outLast = outEnd - kOutputMargin;
  Lane local = lane;
  while (local.in <= inLast && local.out <= outLast) decodeWindow(table, root, local);
  lane = local;
}

BlockResult decodeTwoLanes(const Table& table, const TreeNode* root, Lane start,
                           std::uint8_t* side) {
  const DecodeEntry* const rootTable = table.table(0);
  const std::uint8_t* const middle = start.in + kLaneBytes;
  const std::uint8_t* const end = middle + kLaneBytes;
  Lane a = start;
  Lane b{middle, 0, side};

  std::array<std::int64_t, kRecords> recordBit;  // B's entry boundaries, bits from `middle`
  std::array<std::size_t, kRecords> recordOut;   // B's output before each
  for (std::size_t r = 0; r < kRecords; ++r) {
    recordBit[r] = (b.in - middle) * 8 + b.bit;
    recordOut[r] = static_cast<std::size_t>(b.out - side);
    decodeOneEntry(table, rootTable, b);
  }

  // A stops short of the middle, so that it is not already past B's first boundaries.
  const std::uint8_t* const aStop = middle - 8;
  while (a.in < aStop && b.in < end) {
    decodeWindow(table, rootTable, a);
    decodeWindow(table, rootTable, b);
  }
  while (a.in < aStop) decodeWindow(table, rootTable, a);
  while (b.in < end) decodeWindow(table, rootTable, b);

  // A walks on code by code until it stands on a boundary that B noted.
  std::int64_t position = (a.in - middle) * 8 + a.bit;
  std::size_t r = 0;
  for (;;) {
    while (r < kRecords && recordBit[r] < position) ++r;
    if (r == kRecords) return {a, nullptr, nullptr, false};
    if (recordBit[r] == position) {
      return {{b.in, b.bit, a.out}, side + recordOut[r], b.out, true};
    }
    const std::uint8_t* const before = a.in;
    const unsigned beforeBit = a.bit;
    *a.out++ = walkCode(root, a.in, a.bit)->symbol;
    position += (a.in - before) * 8 + static_cast<std::int64_t>(a.bit) - beforeBit;
  }
}

CodeShape shapeOf(const TreeNode* root) {
  CodeShape shape{256, 0, 0};
  addLeafDepths(root, 0, shape);
  return shape;
}

ByteTranslation::ByteTranslation(const TreeNode* root) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    const TreeNode* node = root;
    for (int bit = 7; bit >= 0 && !isLeaf(node); --bit) {
      node = ((byte >> bit) & 1U) != 0 ? node->right : node->left;
    }
    symbolOf[byte] = node->symbol;  // meaningful only when every code is 8 bits
  }
}

}  // namespace ravmolt
