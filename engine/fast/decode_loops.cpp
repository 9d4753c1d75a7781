#include "engine/fast/decode_loops.h"

#include "engine/fast/lane_block.h"
#include "engine/fast/x86_loops.h"

namespace ravmolt {
namespace {

BitPosition portableSteps(const DecodeTable& table, const std::uint8_t* stream, BitPosition from,
                          BitPosition limit, std::uint8_t*& out) {
  return stepTo<Stores::eachEntry>(table, stream, from, limit, out);
}

LaneBlock portableLanes(const DecodeTable& table, const std::uint8_t* stream, BitPosition start,
                        std::size_t laneBits, std::uint8_t* out, LaneBuffers& buffers) {
  return lane_block::decodeLanesWith<Stores::eachEntry>(table, stream, start, laneBits, out,
                                                        buffers);
}

}  // namespace

DecodeLoops decodeLoopsFor(CpuFeatures features) {
  DecodeLoops loops{"portable", portableSteps, portableLanes, translateBytes};
  addX86Loops(features, loops);
  return loops;
}

}  // namespace ravmolt
