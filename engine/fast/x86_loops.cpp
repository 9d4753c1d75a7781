#include "engine/fast/x86_loops.h"

#if RAVMOLT_X86_LOOPS
#include "engine/fast/lane_block.h"
#include "engine/platform/byte_permutes.h"

namespace ravmolt {
namespace {

RAVMOLT_TARGET_V3 BitPosition stepsV3(const DecodeTable& table, const std::uint8_t* stream,
                                      BitPosition from, BitPosition limit, std::uint8_t*& out) {
  return stepTo<Stores::eachEntry>(table, stream, from, limit, out);
}

RAVMOLT_TARGET_V3 LaneBlock lanesV3(const DecodeTable& table, const std::uint8_t* stream,
                                    BitPosition start, std::size_t laneBits, std::uint8_t* out,
                                    LaneBuffers& buffers) {
  return lane_block::decodeLanesWith<Stores::eachEntry>(table, stream, start, laneBits, out,
                                                        buffers);
}

RAVMOLT_TARGET_PACKED BitPosition stepsPacked(const DecodeTable& table, const std::uint8_t* stream,
                                              BitPosition from, BitPosition limit,
                                              std::uint8_t*& out) {
  return stepTo<Stores::packed>(table, stream, from, limit, out);
}

RAVMOLT_TARGET_PACKED LaneBlock lanesPacked(const DecodeTable& table, const std::uint8_t* stream,
                                            BitPosition start, std::size_t laneBits,
                                            std::uint8_t* out, LaneBuffers& buffers) {
  return lane_block::decodeLanesWith<Stores::packed>(table, stream, start, laneBits, out, buffers);
}

}  // namespace

void addX86Loops(CpuFeatures features, DecodeLoops& loops) {
  if ((features & kFeaturePackedStores) != 0) {
    loops.name = "packed stores";
    loops.steps = stepsPacked;
    loops.lanes = lanesPacked;
  } else if ((features & kFeatureV3) != 0) {
    loops.name = "x86-64-v3";
    loops.steps = stepsV3;
    loops.lanes = lanesV3;
  }
  if ((features & kFeatureBytePermutes) != 0) loops.translate = translateWithPermutes;
}

}  // namespace ravmolt
#endif
