// The body of a block of lanes (see lanes.h), a template over how the lanes store their symbols,
// compiled once for each processor level by the decode loops (decode_loops.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "engine/fast/lanes.h"
#include "engine/platform/bits.h"

namespace ravmolt::lane_block {

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
// in this order it sees each lane's next lookup as soon as it can run.
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

// Where each lane stood before each of its first kRecords windows and its later noted ones, in
// order, and how much it had written by then; kNoRecord where a lane noted no more. Lane 0's are
// never used.
constexpr BitPosition kNoRecord = ~BitPosition{0};
struct Records {
  std::array<std::array<BitPosition, kAllRecords>, kLanes> at;
  std::array<std::array<std::uint32_t, kAllRecords>, kLanes> written;
};

// Takes every lane's first kRecords steps, noting where each starts. They are the lanes' own
// steps, in turn across the lanes: noting costs two stores a window, off the lanes' chains.
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

// Notes record `r` of every lane that stands within kRecordReach of its start, where the lane
// before it stops (lane 0's records are never used).
template <std::size_t... k>
[[gnu::always_inline]] inline void noteLateRecord(const Positions& position, const Positions& stop,
                                                  const Outputs& out, const Outputs& written,
                                                  Records& records, std::size_t r) {
  ((records.at[k][r] =
        k == 0 || position[k] - stop[k == 0 ? 0 : k - 1] < kRecordReach ? position[k] : kNoRecord),
   ...);
  ((records.written[k][r] = static_cast<std::uint32_t>(out[k] - written[k])), ...);
}

// Takes `steps` steps of every lane, sweeping the next block's input into the cache as lane 0
// crosses its chunk: by the time the lanes reach their stops, the sweep has crossed a block's
// length. Input decoded in place in a caller's memory may have to come from main memory, where
// the lanes' eight streams, each starting anew at every block, leave the processor's own
// prefetching behind; input just read into a buffer is in the cache already, and the hints cost
// little there.
template <Stores kStores, LongCodes kLongCodes, std::size_t... k>
[[gnu::always_inline]] inline void takeSteps(const Table& table, const DecodeEntry* root,
                                             const std::uint8_t* stream, Positions& position,
                                             Outputs& out, std::uint64_t steps,
                                             BitPosition blockStart, BitPosition nextBlock) {
  for (; steps > 0; --steps) {
    prefetchForReading(stream, (nextBlock + kLanes * (position[0] - blockStart)) / 8);
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
                                              std::index_sequence<k...>) {
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
  // First the later records, each before a run of kLateRecordSteps steps that every lane has
  // room for before its stop (so they are taken before the stops like the first ones), then
  // the rest of the chunks.
  std::size_t late = kRecords;
  for (; late < kAllRecords; ++late) {
    const std::uint64_t run = kLateRecordSteps * most;
    if ((static_cast<unsigned>(position[k] + run > stop[k]) | ...) != 0) break;
    noteLateRecord<k...>(position, stop, out, written, records, late);
    if (table.hasLongCodes()) {
      takeSteps<kStores, LongCodes::some, k...>(table, root, stream, position, out,
                                                kLateRecordSteps, blockStart, nextBlock);
    } else {
      takeSteps<kStores, LongCodes::none, k...>(table, root, stream, position, out,
                                                kLateRecordSteps, blockStart, nextBlock);
    }
  }
  for (;;) {
    std::uint64_t steps = UINT64_MAX;
    ((steps = std::min(steps, position[k] < stop[k] ? (stop[k] - position[k]) / most : 0)), ...);
    if (steps == 0) break;
    if (table.hasLongCodes()) {
      takeSteps<kStores, LongCodes::some, k...>(table, root, stream, position, out, steps,
                                                blockStart, nextBlock);
    } else {
      takeSteps<kStores, LongCodes::none, k...>(table, root, stream, position, out, steps,
                                                blockStart, nextBlock);
    }
  }
  for (; late < kAllRecords; ++late) ((records.at[k][late] = kNoRecord), ...);
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

// Walks lane `k` on until it stands where lane k + 1 noted a window's start; returns that
// record's index, or kAllRecords when the lanes never meet.
std::size_t walkToRecord(const DecodeTable& table, const std::uint8_t* stream,
                         const Records& records, int k, BitPosition& position, std::uint8_t*& out);

template <Stores kStores>
[[gnu::always_inline]] inline LaneBlock decodeLanesWith(const Table& table,
                                                        const std::uint8_t* stream,
                                                        BitPosition start, std::size_t laneBits,
                                                        std::uint8_t* out, LaneBuffers& buffers) {
  Positions begin;
  Outputs written;
  for (int k = 0; k < kLanes; ++k) {
    begin[k] = start + static_cast<std::uint64_t>(k) * laneBits;
    written[k] = k == 0 ? out : buffers.lane(k);
  }
  // Each lane but the last stops at the next lane's start, and its walk then meets that lane at
  // the first noted window it has not passed: the first, where the next lane started on a guess,
  // is seldom in step anyway, so a lane that stopped short of it would walk further.
  // The last lane stops at the end of the block.
  Positions stop;
  for (int k = 0; k + 1 < kLanes; ++k) stop[k] = begin[k + 1];
  stop[kLanes - 1] = start + kLanes * static_cast<std::uint64_t>(laneBits);

  Positions position = begin;
  Outputs laneOut = written;
  Records records;
  interleave<kStores>(table, stream, position, laneOut, stop, records,
                      std::make_index_sequence<kLanes>());

  // Lane k is proven from provenFrom on, up to where it meets a record of lane k + 1, which
  // proves lane k + 1 from that record on. Lane 0 decoded into place; each proven lane's share
  // is copied after the output before it.
  std::uint8_t* end = nullptr;
  const std::uint8_t* provenFrom = nullptr;
  // Every lane returns, the last one proven by the lanes before it.
  for (int k = 0;; ++k) {
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
    if (r == kAllRecords) return {position[k], end, false};
    provenFrom = written[k + 1] + records.written[k + 1][r];
  }
}

}  // namespace ravmolt::lane_block
