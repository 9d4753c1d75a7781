// Fuzz target: the production payload decoder against the reference tree walk, on random count
// tables and random bits, at the bitCount cut-offs of a short payload (every one, as far as the
// work cap allows) and at the end and at chosen cut-offs of long payloads, read from memory or
// from a file, into a sink that may refuse, and long ones on two threads in short forced segments.
// The layout of its inputs, its mutator and its caches are in fuzz_support.h; the judge, shared
// with the differential tests, in decode_judge.h.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/decode_judge.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"

using namespace ravmolt;
using namespace ravmolt::checks;

namespace {

// One cut-off through the driver the input asks for; false when two threads have no plan for it.
bool decodeCut(const InputPlan& plan, CodedTree& tree, const Payload& bits, const Walk& walk) {
  static MemoryDestination oneThread;
  static MemoryDestination twoThreads;
  const auto cut = static_cast<std::int32_t>(bits.bits);
  std::string verdict;
  if (plan.twoThreads) {
    const SegmentPlan segments{plan.segmentBits,
                               static_cast<std::uint32_t>(bits.bits / plan.segmentBits)};
    if (!fitsPlan(segments, bits.bits)) {
      ++counters.plansDeclined;
      return false;
    }
    ++counters.twoThreadDecodes;
    verdict = checkFastDecode(tree.table(false), bits, walk, twoThreads, &segments);
  } else {
    const testing::ForcedLoops forced(InputPlan::loops(cut));
    verdict =
        checkFastDecode(tree.table(plan.smallTable(cut)), bits, walk, oneThread, nullptr, plan.cap);
  }
  ++counters.decodes;
  if (!verdict.empty()) {
    fail("differential", (plan.twoThreads ? "two threads, bitCount " : "one thread, bitCount ") +
                             std::to_string(cut) + ": " + verdict);
  }
  return true;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  return mutateInput(data, size, maxSize, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reportAtExit();
  if (size < 2) return 0;
  const Layout layout = Layout::parse(data, size);
  static TreeCache trees;
  CodedTree* const tree = trees.treeFor(layout.counts());
  if (tree == nullptr) return 0;
  const InputPlan plan = planInput(layout);
  if (plan.payload.empty()) return 0;
  ++counters.inputs;
  if (plan.longMode) ++counters.longInputs;

  static Walk walk;
  walk.over(tree->root, plan.payload, 8 * plan.payload.size());
  static PayloadSource source;
  source.load(plan.payload, layout.has(kFromFile), plan.fileOffset);
  std::size_t decoded = 0;
  for (const std::int32_t cut : plan.cuts) {
    const auto announced = static_cast<std::size_t>(cut + 7) / 8;
    const std::size_t available = layout.has(kExactPayload) ? announced : plan.payload.size();
    if (decodeCut(plan, *tree, source.payload(available, cut), walk)) ++decoded;
  }
  if (plan.twoThreads && decoded == 0) {
    fail("differential", "no cut-off could be decoded on two threads");
  }
  // Whatever an input allocates it frees: libFuzzer looks for leaks in any run that does not.
  source.release();
  return 0;
}
