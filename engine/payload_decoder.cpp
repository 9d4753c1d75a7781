// The fast payload decoder. Bits are looked up kTableBits at a time in tables built from the tree
// (several codes per lookup), from word-sized windows over the source's buffer, and symbols are
// stored straight into the destination's buffer. A fast loop runs while both buffers have a safe
// margin, checked once per step; most of the payload goes through blocks of two interleaved lanes
// (see decodeTwoLanes), and the last bytes are walked bit by bit, so exactly bitCount bits are
// taken and nothing past the payload is ever read. Flat 8-bit codes are a byte translation.
#include "engine/payload_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "engine/bit_window.h"
#include "engine/decode_table.h"

namespace ravmolt {
namespace {

using Table = DecodeTable;

// Lookups per window: each takes at most kTableBits bits of the >= 57 that a window holds.
constexpr int kLookupsPerWindow = 57 / Table::kTableBits;
static_assert(kLookupsPerWindow >= 1);

// A fast step consumes at most one window's lookups (under 8 bytes) and one long code with the
// codes that end its last lookup (255 + kTableBits bits, under 34 bytes), and every lookup loads
// 8 bytes. Starting kInputMargin bytes before the end of the payload, it neither reads past the
// end nor takes a bit of the last byte, the only one that may hold padding beyond bitCount.
constexpr std::size_t kLongestCodeBits = 255;
constexpr std::size_t kStepConsumedBytes =
    (7 + kLookupsPerWindow * Table::kTableBits + kLongestCodeBits + Table::kTableBits) / 8 + 1;
constexpr std::size_t kInputMargin = 80;
static_assert(kInputMargin >= kStepConsumedBytes + 8 + 1);

// A fast step writes at most kLookupsPerWindow stores of eight bytes, plus one for a long code.
constexpr std::size_t kOutputMargin = 8 * (kLookupsPerWindow + 2);
static_assert(kOutputMargin <= DestinationStream::kBufferSize / 2);

inline void storeSymbols(std::uint8_t* out, DecodeEntry entry) {
  const std::uint64_t symbols = entry >> Table::kSymbolShift;
  std::memcpy(out, &symbols, sizeof symbols);
}

// Finishes a code longer than kTableBits, starting again at the root table on its first bits,
// through the chain of tables its inner nodes start, to the entry where it ends.
[[gnu::noinline]] void decodeLongCode(const Table& table, const std::uint8_t*& in, unsigned& bit,
                                      std::uint8_t*& out) {
  std::size_t current = 0;
  for (;;) {
    const DecodeEntry entry = table.table(current)[peekBits(windowAt(in, bit), Table::kTableBits)];
    skipBits(in, bit, Table::bitsOf(entry));
    const unsigned count = Table::symbolCountOf(entry);
    if (count != 0) {
      storeSymbols(out, entry);
      out += count;
      return;
    }
    current = Table::nextTableOf(entry);
  }
}

// A decoding position on a code boundary, with where its symbols go.
struct Lane {
  const std::uint8_t* in;
  unsigned bit;
  std::uint8_t* out;
};

// One window's worth of lookups, then the rest of a long code if one starts. Needs
// kInputMargin bytes of input and kOutputMargin bytes of room.
[[gnu::always_inline]] inline void decodeWindow(const Table& table, const DecodeEntry* root,
                                                Lane& lane) {
  std::uint64_t window = windowAt(lane.in, lane.bit);
  unsigned used = lane.bit;
  std::uint8_t* out = lane.out;
  int step = 0;
  for (; step < kLookupsPerWindow; ++step) {
    const DecodeEntry entry = root[peekBits(window, Table::kTableBits)];
    if (Table::symbolCountOf(entry) == 0) break;
    storeSymbols(out, entry);
    out += Table::symbolCountOf(entry);
    window <<= (entry & 63);
    used += Table::bitsOf(entry);
  }
  lane.in += used >> 3;
  lane.bit = used & 7;
  lane.out = out;
  if (step < kLookupsPerWindow) [[unlikely]]
    decodeLongCode(table, lane.in, lane.bit, lane.out);
}

// Decodes while at least kInputMargin bytes remain before `inEnd` and kOutputMargin bytes of
// room before `outEnd`. Starts and stops on code boundaries.
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

// Two lanes. Huffman codes resynchronise: a decoder started at a guessed bit position usually
// falls onto the true code boundaries within a few tens of bits. So a block of 2 * kLaneBytes is
// decoded as two independent dependency chains, interleaved for the processor to overlap: lane A
// from the true position, lane B from the middle of the block into a side buffer. B notes its
// first kRecords entry boundaries; A, having reached the middle, walks on code by code until it
// stands on one of them, which proves B right from there on. If none matches (some codes never
// resynchronise, e.g. when every code is 3 bits long), B's work is dropped and A carries on.
constexpr std::size_t kLaneBytes = std::size_t{16} << 10;
constexpr std::size_t kRecords = 48;
// Every code takes at least one bit, so a lane writes at most one byte per bit it consumes.
constexpr std::size_t kSideBytes = 8 * (kLaneBytes + kInputMargin) + kOutputMargin;
constexpr std::size_t kBlockOutputBytes =
    8 * (kLaneBytes + kInputMargin) + kRecords * (kLongestCodeBits + Table::kTableBits);
static_assert(kBlockOutputBytes <= DestinationStream::kBufferSize);
// Input a block needs buffered from its start: both lanes plus the margin of B's last window.
constexpr std::size_t kBlockInputBytes = 2 * kLaneBytes + kInputMargin;
// Blocks that fail to resynchronise this many times more often than they succeed end the use of
// lanes for the run.
constexpr int kFailureAllowance = 8;

struct BlockResult {
  Lane next;                      // where decoding goes on; next.out is the end of A's output
  const std::uint8_t* sideBegin;  // B's proven output, to follow A's
  const std::uint8_t* sideEnd;
  bool synchronised;
};

// Decodes one entry (or one long code) and notes nothing else.
inline void decodeOneEntry(const Table& table, const DecodeEntry* root, Lane& lane) {
  const DecodeEntry entry = root[peekBits(windowAt(lane.in, lane.bit), Table::kTableBits)];
  if (Table::symbolCountOf(entry) == 0) {
    decodeLongCode(table, lane.in, lane.bit, lane.out);
    return;
  }
  storeSymbols(lane.out, entry);
  lane.out += Table::symbolCountOf(entry);
  skipBits(lane.in, lane.bit, Table::bitsOf(entry));
}

// `start` is on a true code boundary with kBlockInputBytes of input from it; `out` has
// kBlockOutputBytes of room and `side` kSideBytes.
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
    const TreeNode* node = root;
    do {
      node = ((*a.in >> (7 - a.bit)) & 1U) != 0 ? node->right : node->left;
      skipBits(a.in, a.bit, 1);
      ++position;
    } while (!isLeaf(node));
    *a.out++ = node->symbol;
  }
}

// The depth of the shallowest and of the deepest leaf under `node`, counted from the root.
void leafDepths(const TreeNode* node, int depth, int& shallowest, int& deepest) {
  if (isLeaf(node)) {
    shallowest = std::min(shallowest, depth);
    deepest = std::max(deepest, depth);
    return;
  }
  leafDepths(node->left, depth + 1, shallowest, deepest);
  leafDepths(node->right, depth + 1, shallowest, deepest);
}

// All 256 codes are 8 bits long (flat counts, as for random bytes): every payload byte is one
// code, so decoding is a byte translation. Trailing bits short of a byte are an incomplete code.
DecodeStatus translateBytes(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                            DestinationStream& destination) {
  std::array<std::uint8_t, 256> symbolOf{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const TreeNode* node = root;
    for (int bit = 7; bit >= 0; --bit) node = ((byte >> bit) & 1U) != 0 ? node->right : node->left;
    symbolOf[byte] = node->symbol;
  }
  std::uint64_t left = static_cast<std::uint64_t>(bitCount) / 8;
  while (left > 0) {
    const std::span<const std::uint8_t> input = source.buffered();
    if (input.empty()) return DecodeStatus::invalidFormat;  // the source shrank
    std::uint8_t* out = destination.reserve(1);
    const std::size_t count = std::min<std::uint64_t>(
        {left, input.size(), static_cast<std::uint64_t>(destination.limit() - out)});
    for (std::size_t i = 0; i < count; ++i) out[i] = symbolOf[input[i]];
    destination.commit(out + count);
    source.advance(count);
    left -= count;
    if (destination.failed()) return DecodeStatus::writeFailed;
  }
  return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
}

DecodeStatus decodeWithTables(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                              DestinationStream& destination) {
  // Bytes kept buffered ahead so that blocks and the fast loop can run.
  constexpr std::size_t kRefillThreshold = kBlockInputBytes + kInputMargin;
  static_assert(kRefillThreshold <= SourceStream::kBufferSize / 2);
  Table table;
  table.build(root);
  const auto side = std::make_unique_for_overwrite<std::uint8_t[]>(kSideBytes);
  bool lanes = true;
  int failures = 0;

  const std::uint64_t payloadBytes = (static_cast<std::uint64_t>(bitCount) + 7) / 8;
  std::uint64_t bytesLeft = payloadBytes;  // from the start of the current span to the end
  unsigned bit = 0;
  for (;;) {
    const std::span<const std::uint8_t> input = source.bufferedAtLeast(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytesLeft, kRefillThreshold)));
    const std::size_t spanBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), bytesLeft));
    if (spanBytes < std::min<std::uint64_t>(bytesLeft, kRefillThreshold)) {
      return DecodeStatus::invalidFormat;  // the source shrank after it was checked
    }
    const std::uint8_t* in = input.data();
    const std::uint8_t* const inEnd = in + spanBytes;

    while (lanes && inEnd - in >= static_cast<std::ptrdiff_t>(kBlockInputBytes)) {
      const BlockResult block = decodeTwoLanes(
          table, root, {in, bit, destination.reserve(kBlockOutputBytes)}, side.get());
      destination.commit(block.next.out);
      in = block.next.in;
      bit = block.next.bit;
      if (block.synchronised) {
        for (const std::uint8_t* from = block.sideBegin; from < block.sideEnd;) {
          std::uint8_t* to = destination.reserve(1);
          const auto count = std::min(block.sideEnd - from, destination.limit() - to);
          std::memcpy(to, from, static_cast<std::size_t>(count));
          destination.commit(to + count);
          from += count;
        }
        --failures;
      } else if (++failures > kFailureAllowance) {
        lanes = false;
      }
      if (destination.failed()) return DecodeStatus::writeFailed;
    }
    const bool lastSpan = spanBytes >= bytesLeft;
    if (lanes && !lastSpan) {  // leave the rest to the next, compacted span: lanes need room
      const auto consumed = static_cast<std::size_t>(in - input.data());
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    for (;;) {
      Lane lane{in, bit, destination.reserve(kOutputMargin)};
      fastLoop(table, lane, inEnd, destination.limit());
      destination.commit(lane.out);
      in = lane.in;
      bit = lane.bit;
      if (destination.failed()) return DecodeStatus::writeFailed;
      if (static_cast<std::size_t>(destination.limit() - lane.out) >= kOutputMargin) break;
    }

    const auto consumed = static_cast<std::size_t>(in - input.data());
    if (spanBytes < bytesLeft) {  // more payload follows in the file: keep the rest and read on
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    // The tail: fewer than kInputMargin bytes, all buffered. Walk the bits that bitCount still
    // covers from the root; an incomplete last code produces nothing.
    const std::uint64_t taken = (payloadBytes - bytesLeft + consumed) * 8 + bit;
    std::uint64_t tailBits = static_cast<std::uint64_t>(bitCount) - taken;
    const TreeNode* node = root;
    for (; tailBits > 0; --tailBits) {
      node = ((*in >> (7 - bit)) & 1U) != 0 ? node->right : node->left;
      if (++bit == 8) {
        bit = 0;
        ++in;
      }
      if (isLeaf(node)) {
        destination.put(node->symbol);
        node = root;
      }
    }
    source.advance(static_cast<std::size_t>(inEnd - input.data()));
    return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
  }
}

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                           DestinationStream& destination) {
  int shallowest = 256;
  int deepest = 0;
  leafDepths(root, 0, shallowest, deepest);
  if (shallowest == 8 && deepest == 8) return translateBytes(root, source, bitCount, destination);
  return decodeWithTables(root, source, bitCount, destination);
}

}  // namespace ravmolt
