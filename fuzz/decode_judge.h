// The one judge of the fast decoders, for the differential tests, the lane checks and the
// differential fuzz target: the reference walk of a payload with where each of its codes ends,
// a decode through either payload driver into memory, and a verdict on what any fast decode gave,
// naming the first difference rather than dumping two arrays.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"

namespace ravmolt::checks {

// The code length of every symbol of a tree, filler included.
using CodeLengths = std::array<std::uint8_t, kSymbolCount>;

inline void noteCodeLengths(const TreeNode* node, unsigned depth, CodeLengths& lengths) {
  if (isLeaf(node)) {
    lengths[node->symbol] = static_cast<std::uint8_t>(depth);
    return;
  }
  noteCodeLengths(node->left, depth + 1, lengths);
  noteCodeLengths(node->right, depth + 1, lengths);
}

// The reference walk of a payload's bits from bit `from` of its first byte: every code's symbol
// and where it starts, counted from the first byte's first bit. A decode of the first `bits` bits
// restores the codes that end by then. Where each code starts is kept for one code in kStride
// and found from the code lengths for the others, so that a walk of many MiB stays small. Reusable,
// so that a fuzz target keeps its memory from input to input.
class Walk {
 public:
  Walk() = default;
  Walk(const TreeNode* root, std::span<const std::uint8_t> payload, std::uint64_t bits,
       unsigned from = 0) {
    over(root, payload, bits, from);
  }

  void over(const TreeNode* root, std::span<const std::uint8_t> payload, std::uint64_t bits,
            unsigned from = 0) {
    std::span<const std::uint8_t> bytes = payload;
    if (from != 0) {  // the walk reads from a byte's first bit: shift the payload to `from`
      shifted_.assign(payload.size(), 0);
      for (std::size_t i = 0; i < payload.size(); ++i) {
        const unsigned next = i + 1 < payload.size() ? payload[i + 1] : 0;
        shifted_[i] = static_cast<std::uint8_t>(payload[i] << from | next >> (8 - from));
      }
      bytes = shifted_;
    }
    walkPayload(root, bytes, bits, memory_);
    lengths_ = {};
    noteCodeLengths(root, 0, lengths_);
    starts_.clear();
    std::uint64_t end = from;
    const std::span<const std::uint8_t> codes = symbols();
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (i % kStride == 0) starts_.push_back(end);
      end += lengths_[codes[i]];
    }
    if (codes.empty()) starts_.push_back(end);
    // What follows the last code is the start of one that does not end by then.
    if (end > from + bits || from + bits - end >= 256)
      fail("judge", "the reference walk disagrees with the code lengths");
  }

  std::span<const std::uint8_t> symbols() const { return memory_.bytes(); }
  // What a decode of the bits up to `bit` must restore: the codes that end by then.
  std::span<const std::uint8_t> by(std::uint64_t bit) const {
    return symbols().first(locate(bit).codes);
  }
  // Whether a code starts at `bit`: the walk's start, or the end of one of its codes.
  bool boundary(std::uint64_t bit) const { return locate(bit).start == bit; }

 private:
  static constexpr std::size_t kStride = 64;
  struct Place {
    std::size_t codes;    // that end by the bit asked for
    std::uint64_t start;  // of the code after them
  };
  Place locate(std::uint64_t bit) const {
    const auto mark = std::upper_bound(starts_.begin(), starts_.end(), bit);
    if (mark == starts_.begin()) return {0, starts_.front()};
    Place place{kStride * static_cast<std::size_t>(mark - starts_.begin() - 1), *(mark - 1)};
    const std::span<const std::uint8_t> codes = symbols();
    while (place.codes < codes.size() && place.start + lengths_[codes[place.codes]] <= bit)
      place.start += lengths_[codes[place.codes++]];
    return place;
  }

  mutable MemoryDestination memory_;
  CodeLengths lengths_{};
  std::vector<std::uint64_t> starts_;  // of every kStride-th code
  std::vector<std::uint8_t> shifted_;
};

// Empty when `got` is `expected`, else where they first differ.
inline std::string firstDifference(std::span<const std::uint8_t> got,
                                   std::span<const std::uint8_t> expected) {
  const std::size_t common = std::min(got.size(), expected.size());
  const auto at = static_cast<std::size_t>(
      std::mismatch(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(common),
                    expected.begin())
          .first -
      got.begin());
  if (at < common) {
    return "byte " + std::to_string(at) + " is " + std::to_string(got[at]) + ", expected " +
           std::to_string(expected[at]);
  }
  if (got.size() == expected.size()) return {};
  return std::to_string(got.size()) + " bytes decoded, expected " + std::to_string(expected.size());
}

// The payload decoded with `table` into `memory`, on the calling thread or, given a plan, on two;
// the status includes the final flush. Nothing when the second thread could not be started.
inline std::optional<DecodeStatus> decodeFast(const DecodeTable& table, const Payload& payload,
                                              MemoryDestination& memory,
                                              const SegmentPlan* plan = nullptr) {
  DestinationStream& destination = memory.start();
  std::optional<DecodeStatus> status;
  if (plan == nullptr) {
    status = decodeOnOneThread(table, payload, destination);
  } else if (!fitsPlan(*plan, payload.bits)) {
    fail("judge", "the segments do not fit the payload");
  } else {
    status = decodeOnTwoThreads(table, payload, destination, *plan);
  }
  if (status == DecodeStatus::success && !destination.flush()) status = DecodeStatus::writeFailed;
  return status;
}

// The verdict on a decode of the payload's first `bits` bits: success with exactly the codes that
// end by then, or, into a destination that refuses bytes past `cap`, writeFailed after handing on
// no more than a start of them. Empty when right.
inline std::string judgeDecode(const Walk& walk, std::uint64_t bits,
                               std::optional<DecodeStatus> status,
                               std::span<const std::uint8_t> got, std::size_t cap = SIZE_MAX) {
  const std::span<const std::uint8_t> expected = walk.by(bits);
  if (!status) return "the second thread could not be started";
  if (expected.size() > cap) {
    if (*status != DecodeStatus::writeFailed) return "a refused write was not reported";
    if (got.size() > expected.size()) return firstDifference(got, expected);
    return firstDifference(got, expected.first(got.size()));
  }
  if (*status != DecodeStatus::success)
    return "failed with status " + std::to_string(static_cast<int>(*status));
  return firstDifference(got, expected);
}

// Decodes the payload with the fast path as decodeFast does and judges it as judgeDecode does.
inline std::string checkFastDecode(const DecodeTable& table, const Payload& payload,
                                   const Walk& walk, MemoryDestination& memory,
                                   const SegmentPlan* plan = nullptr, std::size_t cap = SIZE_MAX) {
  memory.setCap(cap);
  const std::optional<DecodeStatus> status = decodeFast(table, payload, memory, plan);
  return judgeDecode(walk, payload.bits, status, memory.bytes(), cap);
}

// The verdict on a decode that chose where to stop, as a block of lanes does: `stop` must be a
// code boundary, and `got` the codes up to it.
inline std::string judgeStop(const Walk& walk, std::uint64_t stop,
                             std::span<const std::uint8_t> got) {
  if (!walk.boundary(stop)) return "stopped inside a code, at bit " + std::to_string(stop);
  return firstDifference(got, walk.by(stop));
}

}  // namespace ravmolt::checks
