#include "engine/fast/lanes.h"

#include <algorithm>

#include "engine/fast/lane_block.h"
#include "engine/io/buffer.h"

namespace ravmolt {

LaneBuffers::LaneBuffers()
    : storage_(allocateArray<std::uint8_t>((kLanes - 1) * kLaneOutputBytes)) {}

std::size_t laneBitsFor(std::uint64_t available, int lengthDivisor) {
  const auto divisor = static_cast<std::uint64_t>(std::max(lengthDivisor, 1));
  constexpr std::uint64_t kFullBlock = kLanes * std::uint64_t{kLaneBits};
  constexpr std::uint64_t kSmallestBlock = kLanes * std::uint64_t{kMinimumLaneBits};
  // A full block, unless what it would leave is too short for a block of its own and too long to
  // leave to one chain (the walks and records of one more block cost about as much as a single
  // chain decoding a chunk of the shortest length): then this block and the last share it evenly.
  const bool shared =
      available >= kFullBlock + kMinimumLaneBits && available - kFullBlock < kSmallestBlock;
  const std::uint64_t bits =
      std::min<std::uint64_t>(kLaneBits, shared ? available / (2 * kLanes) : available / kLanes);
  const std::uint64_t aligned = bits / divisor * divisor;
  return aligned >= kMinimumLaneBits ? static_cast<std::size_t>(aligned) : 0;
}

namespace lane_block {

std::size_t walkToRecord(const DecodeTable& table, const std::uint8_t* stream,
                         const Records& records, int k, BitPosition& position, std::uint8_t*& out) {
  const auto& at = records.at[static_cast<std::size_t>(k + 1)];
  // Whole steps while the next record is further than a step can take, so that none is passed;
  // then code by code onto it or past it.
  const std::uint64_t most =
      table.hasLongCodes() ? kStepBits : kLookupsPerWindow * DecodeTable::kTableBits;
  std::size_t r = 0;
  for (;;) {
    while (r < kAllRecords && at[r] < position) ++r;
    if (r == kAllRecords || at[r] == kNoRecord) return kAllRecords;
    if (at[r] == position) return r;
    if (at[r] - position >= most) {
      decodeStep(table, table.root(), stream, position, out);
    } else {
      *out++ = decodeOneCode(table, stream, position);
    }
  }
}

}  // namespace lane_block
}  // namespace ravmolt
