// How the two-thread driver cuts a payload into segments.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/fast/decode_table.h"

namespace ravmolt {

// Shorter segments could end before their head window and the span decoder's margins do.
constexpr std::uint64_t kMinimumSegmentBits = 8 * 4096;

struct SegmentPlan {
  std::uint64_t segmentBits = 0;  // a multiple of 8; the last segment takes the rest
  std::uint32_t count = 0;

  BitPosition startOf(std::uint32_t segment) const { return segment * segmentBits; }
  bool isLast(std::uint32_t segment) const { return segment + 1 == count; }
  // Where `segment` ends in a payload of `bits` bits.
  BitPosition stopOf(std::uint32_t segment, std::uint64_t bits) const {
    return isLast(segment) ? bits : startOf(segment + 1);
  }
  std::uint64_t longestSegmentBits(std::uint64_t bits) const {
    return std::max(segmentBits, bits - startOf(count - 1));
  }
};

// Segments of at most `outputBytes` of output each for `bits` payload bits, starting where the
// codes can fall into step: on whole bytes and on multiples of every code length's common
// divisor.
SegmentPlan planSegments(const CodeShape& shape, std::uint64_t bits,
                         std::size_t outputBytes = std::size_t{512} << 10);

// The plan can decode `bits` bits: two or more segments, none shorter than kMinimumSegmentBits.
bool fitsPlan(const SegmentPlan& plan, std::uint64_t bits);

}  // namespace ravmolt
