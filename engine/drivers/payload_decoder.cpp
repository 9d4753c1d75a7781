#include "engine/drivers/payload_decoder.h"

#include "engine/drivers/segment_plan.h"
#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/fast/decode_table.h"
#include "engine/platform/threads.h"

namespace ravmolt {
namespace {

// A payload of fewer segments is not worth a second thread.
constexpr std::uint32_t kMinimumSegments = 4;
// Payloads shorter than this decode one code at a time through a small root table: building the
// full one would cost more than its fast loops save.
constexpr std::uint64_t kSmallPayloadBits = 8 * (std::uint64_t{16} << 10);

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, const Payload& payload,
                           DestinationStream& destination, unsigned threads) {
  DecodeTable table;
  table.build(root, payload.bits < kSmallPayloadBits ? DecodeTable::kSmallRootBits
                                                     : DecodeTable::kTableBits);
  if (threads >= 2) {
    const SegmentPlan plan = planSegments(table.shape(), payload.bits);
    if (plan.count >= kMinimumSegments && fitsPlan(plan, payload.bits) &&
        processorsAvailable() >= 2) {
      if (const auto status = decodeOnTwoThreads(table, payload, destination, plan)) {
        return *status;
      }
    }
  }
  return decodeOnOneThread(table, payload, destination);
}

}  // namespace ravmolt
