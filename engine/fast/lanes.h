// Interleaved speculative lanes. Huffman codes resynchronise: a decoder started at a guessed bit
// position usually falls onto the true code boundaries within a few tens of bits. So a block is cut
// into kLanes chunks, decoded as independent dependency chains interleaved for the processor to
// overlap their lookups: lane 0 from the block's true start straight into the output, every other
// lane from the start of its chunk, as if a code began there, into a buffer of its own.
//
// Each lane but the first notes where its first kRecords windows start, which are code
// boundaries, and then, more sparsely, where some later windows start. The lane before it, having
// reached the end of its own chunk, walks on until it stands on one of them, which proves the
// later lane right from there on. Most codes fall into step within the first few windows; codes
// of nearly one length with a rare longer one (hex dumps, base64 with line breaks) drift into
// step only over hundreds of codes, and the later records catch them. Where no boundary matches
// (some codes never resynchronise), the unproven lane and those after it are dropped, and
// decoding goes on from where the last proven lane stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/fast/decode_steps.h"
#include "engine/io/buffer.h"

namespace ravmolt {

// Each lane is a chain of dependent loads and shifts; eight keep the processor's units busy while
// each waits on its loads, and more lanes' shorter chunks cost more than the lanes gain.
constexpr int kLanes = 8;
// The longest chunk a lane takes: eight of them and a step fit the input a span keeps buffered.
constexpr std::size_t kLaneBits = std::size_t{7} << 13;
// Windows noted per lane: enough for the lanes of executables, whose codes take longest to fall
// into step, to be proven nearly always.
constexpr std::size_t kRecords = 12;
// The most bits a lane's noted windows span, long codes included.
constexpr std::size_t kRecordedBits = kRecords * kStepBits;
// Later records, one every kLateRecordSteps steps after the first kRecords, as long as the lane
// stands within kRecordReach bits of its start: a lane that falls into step later than that
// saves less than the walk that proves it costs.
constexpr std::size_t kLateRecords = 24;
constexpr std::uint64_t kLateRecordSteps = 16;
constexpr std::size_t kRecordReach = kLaneBits / 2;
constexpr std::size_t kAllRecords = kRecords + kLateRecords;
static_assert(kRecordReach >= kRecordedBits);
// The shortest chunk worth a block: the walk that proves a lane costs about as much as decoding a
// few hundred bytes. A chunk also holds its lane's noted windows, so that they are taken before
// the lane's stop (the next chunk's start) and the last lane's never reach past the block.
constexpr std::size_t kMinimumLaneBits = std::size_t{8} << 11;
static_assert(kMinimumLaneBits >= kRecordedBits);

// Output buffers of lanes 1 to kLanes - 1, reused from block to block. ready() is false when
// their memory could not be had; decoding then goes on without lanes.
class LaneBuffers {
 public:
  LaneBuffers();
  bool ready() const { return storage_ != nullptr; }
  std::uint8_t* lane(int k) {
    return storage_.get() + static_cast<std::size_t>(k - 1) * kLaneOutputBytes;
  }

 private:
  // The output of one lane, at most: a symbol per bit of its chunk and of the codes it decodes
  // past it, up to the next lane's last record (within kRecordReach of that lane's start) and a
  // step after it, and a store's overrun.
  static constexpr std::size_t kLaneOutputBytes =
      kLaneBits + kRecordReach + kStepBits + kStoreOverrun;
  Buffer<std::uint8_t> storage_;
};

struct LaneBlock {
  BitPosition next;   // where decoding goes on, on a true code boundary
  std::uint8_t* out;  // the end of the block's output
  bool synchronised;  // every lane was proven
};

// Bits per chunk for a block over the `available` bits from a true code boundary, when every
// code length is a multiple of `lengthDivisor`: lanes start a multiple of it from the true start,
// so that codes of equal lengths are in step at once. Zero when no block fits.
std::size_t laneBitsFor(std::uint64_t available, int lengthDivisor);

// A block of kLanes chunks of `laneBits` (from laneBitsFor) of `stream` from `start`, a true code
// boundary, decoded into `out`. Every code it decodes starts before start + kLanes * laneBits +
// kStepBits, and it reads eight bytes from each of their bytes; `out` needs room for a symbol per
// code and kStoreOverrun bytes. Returns the true symbols up to `next`, in order. One of the decode
// loops (see DecodeLoops), compiled for each processor level.
using DecodeLanes = LaneBlock (*)(const DecodeTable& table, const std::uint8_t* stream,
                                  BitPosition start, std::size_t laneBits, std::uint8_t* out,
                                  LaneBuffers& buffers);

}  // namespace ravmolt
