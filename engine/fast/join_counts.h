// How often speculation pays, for the benchmarks: blocks of lanes that fell into step or did not,
// the bits the lanes and the single chain decoded, and the two-thread driver's segment joins.
// Counted only in builds configured with RAVMOLT_COUNT_JOINS (a benchmark option); elsewhere
// every hook is empty and the decoders carry no trace of it. Hooks are called once per block or
// per segment, never per code.
#pragma once

#include <atomic>
#include <cstdint>

#ifndef RAVMOLT_COUNT_JOINS
#define RAVMOLT_COUNT_JOINS 0
#endif

namespace ravmolt {

struct JoinCounts {
  std::uint64_t laneBlocks = 0;      // blocks of lanes decoded
  std::uint64_t unjoinedBlocks = 0;  // of them, blocks where some lane was not proven
  std::uint64_t lanesGivenUp = 0;    // decoders that stopped using lanes
  std::uint64_t laneBits = 0;        // bits decoded in blocks of lanes
  std::uint64_t chainBits = 0;       // bits decoded by the single-chain loop
  std::uint64_t segmentJoins = 0;    // guessed segments the two-thread driver tried to join
  std::uint64_t unjoinedSegments = 0;
};

// Where the hooks count: one word each, atomic, for the two threads.
enum class JoinEvent : std::uint8_t {
  laneBlock,
  unjoinedBlock,
  lanesGivenUp,
  laneBits,
  chainBits,
  segmentJoin,
  unjoinedSegment
};
constexpr int kJoinEvents = 7;

inline constexpr bool kCountJoins = RAVMOLT_COUNT_JOINS != 0;

inline std::atomic<std::uint64_t>* joinCounters() {
  static std::atomic<std::uint64_t> counters[kJoinEvents];
  return counters;
}

inline void countJoinEvent(JoinEvent event, std::uint64_t amount = 1) {
  if constexpr (kCountJoins) {
    joinCounters()[static_cast<int>(event)].fetch_add(amount, std::memory_order_relaxed);
  }
}

// The counts so far, and zeros to start again; all zeros in builds that do not count.
inline JoinCounts takeJoinCounts() {
  std::uint64_t v[kJoinEvents];
  for (int i = 0; i < kJoinEvents; ++i) v[i] = joinCounters()[i].exchange(0);
  return {v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
}

}  // namespace ravmolt
