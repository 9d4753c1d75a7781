#include "engine/fast/lanes.h"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/io/buffer.h"
#include "engine/platform/decode_loops.h"

namespace ravmolt {
namespace {

using Table = DecodeTable;
using Positions = std::array<BitPosition, kLanes>;
using Outputs = std::array<std::uint8_t*, kLanes>;

// Lookup i of every lane's window.
template <std::size_t i, std::size_t... k, typename Entries>
[[gnu::always_inline]] inline void lookUpInTurn(const DecodeEntry* root,
                                                std::array<std::uint64_t, kLanes>& window,
                                                std::array<Entries, kLanes>& entries) {
  (putEntry<i>(entries[k], lookUp(root, window[k])), ...);
}

// Lookups i... of every lane's window: lookup i of each lane, for each i in turn.
template <std::size_t... k, typename Entries, std::size_t... i>
[[gnu::always_inline]] inline void lookUpEveryLane(const DecodeEntry* root,
                                                   std::array<std::uint64_t, kLanes>& window,
                                                   std::array<Entries, kLanes>& entries,
                                                   std::index_sequence<i...>) {
  (lookUpInTurn<i, k...>(root, window, entries), ...);
}

// One step of every lane: their windows' lookups taken in turn across the lanes, lookup by
// lookup, then each lane's window ended. Taken lane by lane, whole windows at a time, the waiting
// lookups of the first lanes fill the processor's queues before it reaches the last lanes' loads;
// in this order it sees each lane's next lookup as soon as it can run (measured with six lanes:
// 7 to 9 % faster, and 23 to 34 % with stores of each entry).
template <Stores kStores, LongCodes kLongCodes, std::size_t... k>
[[gnu::always_inline]] inline void stepEveryLane(const Table& table, const DecodeEntry* root,
                                                 const std::uint8_t* stream, Positions& position,
                                                 Outputs& out) {
  std::array<std::uint64_t, kLanes> window{markWindow(windowAt(stream, position[k]))...};
  std::array<EntriesFor<kStores>, kLanes> entries;
  lookUpEveryLane<k...>(root, window, entries, std::make_index_sequence<kLookupsPerWindow - 1>());
  // Each lane's last lookup is followed at once by the end of its window, which needs it.
  ((putEntry<kLookupsPerWindow - 1>(entries[k], lookUp(root, window[k])),
    endWindow<kLongCodes>(table, stream, entries[k], window[k], position[k], out[k])),
   ...);
}

// Where each lane stood before each of its first kRecords windows, and how much it had written by
// then. Lane 0's are never used.
struct Records {
  std::array<std::array<BitPosition, kRecords>, kLanes> at;
  std::array<std::array<std::uint32_t, kRecords>, kLanes> written;
};

// Takes every lane's first kRecords steps, noting where each starts. They are the lanes' own
// steps, in turn across the lanes: noting costs two stores a window, where noting entries one by
// one, each on a chain of its own, took 2 % of a block.
template <Stores kStores, LongCodes kLongCodes, std::size_t... k>
[[gnu::always_inline]] inline void noteSteps(const Table& table, const std::uint8_t* stream,
                                             Positions& position, Outputs& out,
                                             const Outputs& written, Records& records) {
  const DecodeEntry* const root = table.root();
  for (std::size_t r = 0; r < kRecords; ++r) {
    ((records.at[k][r] = position[k]), ...);
    ((records.written[k][r] = static_cast<std::uint32_t>(out[k] - written[k])), ...);
    stepEveryLane<kStores, kLongCodes, k...>(table, root, stream, position, out);
  }
}

// Takes `steps` steps of every lane. In place, the next block's input is swept as lane 0 crosses
// its chunk: by the time the lanes reach their stops, the sweep has crossed a block's length.
// Two loops, so that the buffered one tests nothing for it per step.
template <Stores kStores, LongCodes kLongCodes, std::size_t... k>
[[gnu::always_inline]] inline void takeSteps(const Table& table, const DecodeEntry* root,
                                             const std::uint8_t* stream, Positions& position,
                                             Outputs& out, std::uint64_t steps, Input input,
                                             BitPosition blockStart, BitPosition nextBlock) {
  if (input == Input::inPlace) {
    for (; steps > 0; --steps) {
      prefetchForReading(stream, (nextBlock + kLanes * (position[0] - blockStart)) / 8);
      stepEveryLane<kStores, kLongCodes, k...>(table, root, stream, position, out);
    }
  } else {
    for (; steps > 0; --steps)
      stepEveryLane<kStores, kLongCodes, k...>(table, root, stream, position, out);
  }
}

// Decodes steps of every lane in turn until each lane has reached its stop, noting where each of
// the first kRecords starts. Positions and outputs are copied into locals, two registers a lane,
// so that as many as the processor's registers hold stay in them: arrays whose address is taken
// elsewhere stay in memory.
template <Stores kStores, std::size_t... k>
[[gnu::always_inline]] inline void interleave(const Table& table, const std::uint8_t* stream,
                                              Positions& lanePosition, Outputs& laneOut,
                                              const Positions& laneStop, Records& records,
                                              Input input, std::index_sequence<k...>) {
  const DecodeEntry* const root = table.root();
  Positions position{lanePosition[k]...};
  const Outputs written{laneOut[k]...};
  const BitPosition blockStart = position[0];  // lane 0 starts where the block does
  const BitPosition nextBlock = laneStop[kLanes - 1];
  Outputs out{laneOut[k]...};
  const Positions stop{laneStop[k]...};
  if (table.hasLongCodes()) {
    noteSteps<kStores, LongCodes::some, k...>(table, stream, position, out, written, records);
  } else {
    noteSteps<kStores, LongCodes::none, k...>(table, stream, position, out, written, records);
  }
  // All lanes at once, in runs of steps that no lane can take past its stop, so that the loop
  // tests nothing per step: a step takes at most `most` bits, a long code included.
  const std::uint64_t most =
      table.hasLongCodes() ? kStepBits : kLookupsPerWindow * Table::kTableBits;
  for (;;) {
    std::uint64_t steps = UINT64_MAX;
    ((steps = std::min(steps, position[k] < stop[k] ? (stop[k] - position[k]) / most : 0)), ...);
    if (steps == 0) break;
    if (table.hasLongCodes()) {
      takeSteps<kStores, LongCodes::some, k...>(table, root, stream, position, out, steps, input,
                                                blockStart, nextBlock);
    } else {
      takeSteps<kStores, LongCodes::none, k...>(table, root, stream, position, out, steps, input,
                                                blockStart, nextBlock);
    }
  }
  // The last few steps of each lane. Chunks take different numbers of steps, as codes vary in
  // length from one part of a file to another; the lanes still short of their stops go on
  // interleaved rather than one by one, which would leave all but one chain idle.
  while ((static_cast<unsigned>(position[k] < stop[k]) | ...) != 0)
    ((position[k] < stop[k] ? decodeStep<kStores>(table, root, stream, position[k], out[k])
                            : void()),
     ...);
  ((lanePosition[k] = position[k]), ...);
  ((laneOut[k] = out[k]), ...);
}

// Walks lane `k` on, code by code, until it stands where lane k + 1 noted a window's start;
// returns that record's index, or kRecords when the lanes never meet.
std::size_t walkToRecord(const Table& table, const std::uint8_t* stream, const Records& records,
                         int k, BitPosition& position, std::uint8_t*& out) {
  const auto& at = records.at[static_cast<std::size_t>(k + 1)];
  std::size_t r = 0;
  for (;;) {
    while (r < kRecords && at[r] < position) ++r;
    if (r == kRecords || at[r] == position) return r;
    *out++ = decodeOneCode(table, stream, position);
  }
}

}  // namespace

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

namespace {

template <Stores kStores>
[[gnu::always_inline]] inline LaneBlock decodeLanesWith(const Table& table,
                                                        const std::uint8_t* stream,
                                                        BitPosition start, std::size_t laneBits,
                                                        std::uint8_t* out, LaneBuffers& buffers,
                                                        Input input) {
  Positions begin;
  Outputs written;
  for (int k = 0; k < kLanes; ++k) {
    begin[k] = start + static_cast<std::uint64_t>(k) * laneBits;
    written[k] = k == 0 ? out : buffers.lane(k);
  }
  // Each lane but the last stops at the next lane's start, and its walk then meets that lane at
  // the first noted window it has not passed: the first, where the next lane started on a guess,
  // is seldom in step anyway. Stopping 64 bits short, the walks were two to three times as long.
  // The last lane stops at the end of the block.
  Positions stop;
  for (int k = 0; k + 1 < kLanes; ++k) stop[k] = begin[k + 1];
  stop[kLanes - 1] = start + kLanes * static_cast<std::uint64_t>(laneBits);

  Positions position = begin;
  Outputs laneOut = written;
  Records records;
  interleave<kStores>(table, stream, position, laneOut, stop, records, input,
                      std::make_index_sequence<kLanes>());

  // Lane k is proven from provenFrom on, up to where it meets a record of lane k + 1, which
  // proves lane k + 1 from that record on. Lane 0 decoded into place; each proven lane's share
  // is copied after the output before it.
  std::uint8_t* end = nullptr;
  const std::uint8_t* provenFrom = nullptr;
  for (int k = 0; k < kLanes; ++k) {
    const std::size_t r =
        k + 1 < kLanes ? walkToRecord(table, stream, records, k, position[k], laneOut[k]) : 0;
    if (k == 0) {
      end = laneOut[0];
    } else {
      const auto count = static_cast<std::size_t>(laneOut[k] - provenFrom);
      std::memcpy(end, provenFrom, count);
      end += count;
    }
    if (k + 1 == kLanes) return {position[k], end, true};
    if (r == kRecords) return {position[k], end, false};
    provenFrom = written[k + 1] + records.written[k + 1][r];
  }
  return {start, out, false};  // not reached: the last lane returns above
}

RAVMOLT_DECODE_LOOP LaneBlock decodeLanesEach(const Table& table, const std::uint8_t* stream,
                                              BitPosition start, std::size_t laneBits,
                                              std::uint8_t* out, LaneBuffers& buffers,
                                              Input input) {
  return decodeLanesWith<Stores::eachEntry>(table, stream, start, laneBits, out, buffers, input);
}

RAVMOLT_PACKED_DECODE_LOOP LaneBlock decodeLanesPacked(const Table& table,
                                                       const std::uint8_t* stream,
                                                       BitPosition start, std::size_t laneBits,
                                                       std::uint8_t* out, LaneBuffers& buffers,
                                                       Input input) {
  return decodeLanesWith<Stores::packed>(table, stream, start, laneBits, out, buffers, input);
}

}  // namespace

LaneBlock decodeLanes(const Table& table, const std::uint8_t* stream, BitPosition start,
                      std::size_t laneBits, std::uint8_t* out, LaneBuffers& buffers, Stores stores,
                      Input input) {
  return stores == Stores::packed
             ? decodeLanesPacked(table, stream, start, laneBits, out, buffers, input)
             : decodeLanesEach(table, stream, start, laneBits, out, buffers, input);
}

}  // namespace ravmolt
