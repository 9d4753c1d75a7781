#include "engine/fast/lanes.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

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

// Bits from `from` to `to`, which may lie before it.
inline std::int64_t bitsBetween(const std::uint8_t* fromIn, unsigned fromBit,
                                const std::uint8_t* toIn, unsigned toBit) {
  return (toIn - fromIn) * 8 + static_cast<std::int64_t>(toBit) -
         static_cast<std::int64_t>(fromBit);
}

// One window of decodeWindow for a lane kept as a bit position from `base` and its output: two
// registers a lane, so that all lanes and the table fit in the processor's registers.
[[gnu::always_inline]] inline void decodeWindowAt(const Table& table, const DecodeEntry* root,
                                                  const std::uint8_t* base, std::uint64_t& bit,
                                                  std::uint8_t*& out) {
  bool longCode;
  bit +=
      lookUpWindow(root, windowAt(base + bit / 8, static_cast<unsigned>(bit % 8)), out, longCode);
  if (longCode) [[unlikely]] {
    Lane lane{base + bit / 8, static_cast<unsigned>(bit % 8), out};
    decodeLongCode(table, lane);
    bit = static_cast<std::uint64_t>(lane.in - base) * 8 + lane.bit;
    out = lane.out;
  }
}

// Decodes windows of every lane in turn until each lane has reached its stop.
template <std::size_t... k>
[[gnu::always_inline]] inline void interleave(const Table& table, const DecodeEntry* root,
                                              std::array<Lane, kLanes>& lanes,
                                              const std::array<const std::uint8_t*, kLanes>& stops,
                                              std::index_sequence<k...>) {
  const std::uint8_t* const base = lanes[0].in;
  std::array<std::uint64_t, kLanes> bit{
      (static_cast<std::uint64_t>(lanes[k].in - base) * 8 + lanes[k].bit)...};
  std::array<std::uint8_t*, kLanes> out{lanes[k].out...};
  const std::array<std::uint64_t, kLanes> stop{
      (static_cast<std::uint64_t>(stops[k] - base) * 8)...};
  // All lanes at once, in runs of windows that no lane can take past its stop, so that the loop
  // tests nothing per window: a window takes at most `most` bits, a long code included.
  const std::uint64_t most = kLookupsPerWindow * Table::kTableBits +
                             (table.tableCount() > 1 ? kLongestCodeBits + Table::kTableBits : 0);
  for (;;) {
    std::uint64_t windows = UINT64_MAX;
    ((windows = std::min(windows, bit[k] < stop[k] ? (stop[k] - bit[k]) / most : 0)), ...);
    if (windows == 0) break;
    for (; windows > 0; --windows) (decodeWindowAt(table, root, base, bit[k], out[k]), ...);
  }
  // The last few windows of each lane. Chunks take different numbers of windows, as codes vary in
  // length from one part of a file to another; the lanes still short of their stops go on
  // interleaved rather than one by one, which would leave all but one chain idle.
  while ((static_cast<unsigned>(bit[k] < stop[k]) | ...) != 0)
    ((bit[k] < stop[k] ? decodeWindowAt(table, root, base, bit[k], out[k]) : void()), ...);
  ((lanes[k] = {base + bit[k] / 8, static_cast<unsigned>(bit[k] % 8), out[k]}), ...);
}

}  // namespace

LaneBuffers::LaneBuffers()
    : storage_(std::make_unique_for_overwrite<std::uint8_t[]>((kLanes - 1) * kLaneOutputBytes)) {}

std::size_t laneBitsFor(std::size_t available, int lengthDivisor) {
  if (available < kLanes * kMinimumLaneBytes + 1 + kInputMargin) return 0;
  const std::size_t bytes = std::min(kLaneBytes, (available - 1 - kInputMargin) / kLanes);
  const auto divisor = static_cast<std::size_t>(std::max(lengthDivisor, 1));
  const std::size_t bits = 8 * bytes / divisor * divisor;
  return bits >= 8 * kMinimumLaneBytes ? bits : 0;
}

RAVMOLT_DECODE_LOOP BlockResult decodeLanes(const Table& table, const TreeNode* root, Lane start,
                                            std::size_t laneBits, LaneBuffers& buffers) {
  const DecodeEntry* const rootTable = table.table(0);
  std::array<Lane, kLanes> lanes;
  lanes[0] = start;
  for (int k = 1; k < kLanes; ++k) {
    const std::size_t offset = start.bit + static_cast<std::size_t>(k) * laneBits;
    lanes[k] = {start.in + offset / 8, static_cast<unsigned>(offset % 8), buffers.lane(k)};
  }
  const std::array<Lane, kLanes> begins = lanes;
  // Each lane but the last stops short of the next lane's start, so that it is not already past
  // the next lane's first boundaries; the last stops at the end of the block.
  std::array<const std::uint8_t*, kLanes> stops;
  for (int k = 0; k + 1 < kLanes; ++k) stops[k] = begins[k + 1].in - 8;
  stops[kLanes - 1] = start.in + (start.bit + kLanes * laneBits) / 8;

  // Entry boundaries of lanes 1.., in bits from the lane's start, and the lane's output before
  // each.
  std::array<std::array<std::int64_t, kRecords>, kLanes> recordBit;
  std::array<std::array<std::uint32_t, kRecords>, kLanes> recordOut;
  for (int k = 1; k < kLanes; ++k) {
    Lane& lane = lanes[k];
    for (std::size_t r = 0; r < kRecords; ++r) {
      recordBit[k][r] = bitsBetween(begins[k].in, begins[k].bit, lane.in, lane.bit);
      recordOut[k][r] = static_cast<std::uint32_t>(lane.out - begins[k].out);
      decodeOneEntry(table, rootTable, lane);
    }
  }

  interleave(table, rootTable, lanes, stops, std::make_index_sequence<kLanes>());

  // Lane k is proven from provenFrom on; it walks code by code until it stands on a boundary
  // that lane k + 1 noted, which proves lane k + 1 from there on.
  BlockResult result{};
  const std::uint8_t* provenFrom = nullptr;
  for (int k = 0; k + 1 < kLanes; ++k) {
    Lane& lane = lanes[k];
    std::int64_t position = bitsBetween(begins[k + 1].in, begins[k + 1].bit, lane.in, lane.bit);
    const auto& records = recordBit[k + 1];
    std::size_t r = 0;
    for (;;) {
      while (r < kRecords && records[r] < position) ++r;
      if (r == kRecords || records[r] == position) break;
      const std::uint8_t* const before = lane.in;
      const unsigned beforeBit = lane.bit;
      *lane.out++ = decodeOneCode(table, root, lane.in, lane.bit);
      position += bitsBetween(before, beforeBit, lane.in, lane.bit);
    }
    if (k > 0) result.proven[k - 1] = {provenFrom, static_cast<const std::uint8_t*>(lane.out)};
    if (r == kRecords) {
      result.next = {lane.in, lane.bit, lanes[0].out};
      result.synchronised = false;
      return result;
    }
    provenFrom = begins[k + 1].out + recordOut[k + 1][r];
  }
  const Lane& last = lanes[kLanes - 1];
  result.proven[kLanes - 2] = {provenFrom, static_cast<const std::uint8_t*>(last.out)};
  result.next = {last.in, last.bit, lanes[0].out};
  result.synchronised = true;
  return result;
}

}  // namespace ravmolt
