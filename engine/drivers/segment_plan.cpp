#include "engine/drivers/segment_plan.h"

#include <algorithm>
#include <numeric>

namespace ravmolt {

SegmentPlan planSegments(const CodeShape& shape, std::uint64_t bits, std::size_t outputBytes) {
  const std::uint64_t align =
      std::lcm(std::uint64_t{8}, static_cast<std::uint64_t>(shape.lengthDivisor));
  // Every code takes at least `shortest` bits, so this many bits restore at most outputBytes.
  std::uint64_t segment = outputBytes * static_cast<std::uint64_t>(shape.shortest) / align * align;
  segment = std::max(segment, (kMinimumSegmentBits + align - 1) / align * align);
  auto count = static_cast<std::uint32_t>((bits + segment - 1) / segment);
  // A short remainder joins the last whole segment.
  if (count > 1 && bits - (count - 1) * segment < kMinimumSegmentBits) --count;
  return {segment, count};
}

bool fitsPlan(const SegmentPlan& plan, std::uint64_t bits) {
  if (plan.count < 2 || plan.segmentBits % 8 != 0 || plan.segmentBits < kMinimumSegmentBits) {
    return false;
  }
  const std::uint64_t lastStart = plan.startOf(plan.count - 1);
  return lastStart <= bits && bits - lastStart >= kMinimumSegmentBits;
}

}  // namespace ravmolt
