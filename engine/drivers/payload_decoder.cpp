#include "engine/drivers/payload_decoder.h"

#include "engine/drivers/segment_plan.h"
#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/fast/decode_table.h"

namespace ravmolt {
namespace {

// A payload of fewer segments is not worth a second thread.
constexpr std::uint32_t kMinimumSegments = 4;

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, const Payload& payload,
                           DestinationStream& destination, unsigned threads) {
  DecodeTable table;
  table.build(root);
  if (threads >= 2) {
    const SegmentPlan plan = planSegments(table.shape(), payload.bits);
    if (plan.count >= kMinimumSegments && fitsPlan(plan, payload.bits)) {
      if (const auto status = decodeOnTwoThreads(table, payload, destination, plan)) {
        return *status;
      }
    }
  }
  return decodeOnOneThread(table, payload, destination);
}

}  // namespace ravmolt
