#include "engine/drivers/payload_decoder.h"

#include "engine/drivers/segment_plan.h"
#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/fast/decode_table.h"
#include "engine/platform/threads.h"

namespace ravmolt {
namespace {

// A payload shorter than this decodes faster on one thread even with the other processor idle:
// a second thread's slots are fresh memory to touch, for input and output alike, and below a few
// MiB that costs more than the second processor saves.
constexpr std::uint64_t kTwoThreadBits = 8 * (std::uint64_t{2} << 20);
// Payloads shorter than this decode one code at a time through a small root table: building the
// full one would cost more than its fast loops save.
constexpr std::uint64_t kSmallPayloadBits = 8 * (std::uint64_t{16} << 10);

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, const Payload& payload,
                           DestinationStream& destination, unsigned threads) {
  DecodeTable table;
  if (!table.build(root, payload.bits < kSmallPayloadBits ? DecodeTable::kSmallRootBits
                                                          : DecodeTable::kTableBits)) {
    destination.failForMemory();
    return DecodeStatus::writeFailed;
  }
  if (threads >= 2 && payload.bits >= kTwoThreadBits && processorsAvailable() >= 2) {
    const SegmentPlan plan = planSegments(table.shape(), payload.bits);
    if (fitsPlan(plan, payload.bits)) {
      if (const auto status = decodeOnTwoThreads(table, payload, destination, plan)) {
        return *status;
      }
    }
  }
  return decodeOnOneThread(table, payload, destination);
}

}  // namespace ravmolt
