// Interleaved speculative lanes. Huffman codes resynchronise: a decoder started at a guessed bit
// position usually falls onto the true code boundaries within a few tens of bits. So a block is cut
// into kLanes chunks, decoded as independent dependency chains interleaved for the processor to
// overlap their lookups: lane 0 from the block's true start straight into the output, every other
// lane from the start of its chunk, as if a code began there, into a buffer of its own.
//
// Each lane but the first notes its first kRecords entry boundaries. The lane before it, having
// reached the end of its own chunk, walks on code by code until it stands on one of them, which
// proves the later lane right from there on. Where no boundary matches (some codes never
// resynchronise), the unproven lane and those after it are dropped, and decoding goes on from
// where the last proven lane stopped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/fast/decode_kernel.h"

namespace ravmolt {

// Each lane is a chain of dependent loads and shifts; six keep the processor's units busy while
// each waits on its loads (measured: 8 to 9 % faster than four, and seven or eight no faster).
constexpr int kLanes = 6;
// The longest chunk a lane takes; a block of kLanes such chunks fits the source buffer's refill.
constexpr std::size_t kLaneBytes = std::size_t{8} << 10;
constexpr std::size_t kRecords = 48;
// The shortest chunk worth a block: the walk that proves a lane costs about as much as decoding a
// few hundred bytes. A chunk also holds its lane's records, long codes included, so that the last
// lane's records never read past the block.
constexpr std::size_t kMinimumLaneBytes = std::size_t{2} << 10;
static_assert(kMinimumLaneBytes * 8 >= kRecords * (kLongestCodeBits + DecodeTable::kTableBits));

// The output of one lane, at most: a symbol per bit of its chunk and of the window that runs past
// it, the codes of its walk across the next lane's records, and the fast loop's stores.
constexpr std::size_t kLaneOutputBytes = 8 * (kLaneBytes + kInputMargin) +
                                         kRecords * (kLongestCodeBits + DecodeTable::kTableBits) +
                                         kOutputMargin;
// Input a block of full chunks needs from its start: the chunks, a byte for the start's bit
// offset, and the margin of the last lane's last window.
constexpr std::size_t kBlockInputBytes = kLanes * kLaneBytes + 1 + kInputMargin;
// Blocks that fail to resynchronise this many times more often than they succeed end the use of
// lanes for the run.
constexpr int kFailureAllowance = 8;

// Output buffers of lanes 1 to kLanes - 1, reused from block to block.
class LaneBuffers {
 public:
  LaneBuffers();
  std::uint8_t* lane(int k) {
    return storage_.get() + static_cast<std::size_t>(k - 1) * kLaneOutputBytes;
  }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
};

struct BlockResult {
  Lane next;  // where decoding goes on, on a true boundary; next.out ends lane 0's output
  // The proven output of lanes 1, 2, ..., to follow lane 0's in this order; empty from the first
  // lane that was not proven on.
  std::array<std::span<const std::uint8_t>, kLanes - 1> proven;
  bool synchronised;  // every lane was proven
};

// Bits per chunk for a block over `available` input bytes from a true code boundary, when every
// code length is a multiple of `lengthDivisor`: lanes start a multiple of it from the true start,
// so that codes of equal lengths are in step at once. Zero when no block fits.
std::size_t laneBitsFor(std::size_t available, int lengthDivisor);

// Decodes a block of kLanes chunks of `laneBits` (from laneBitsFor) from `start`, on a true code
// boundary with at least the `available` input laneBitsFor was given; `start.out` needs
// kLaneOutputBytes of room.
BlockResult decodeLanes(const DecodeTable& table, const TreeNode* root, Lane start,
                        std::size_t laneBits, LaneBuffers& buffers);

}  // namespace ravmolt
