// Decoding one segment of the payload, held in memory, from a start that may be only a guess.
//
// A segment is a run of payload bits [start, stop). Its decoder starts at `start` as if a code
// began there; Huffman codes resynchronise, so after a few codes it usually stands on the true
// code boundaries and from then on restores exactly the true symbols. To prove where that
// happens, the decoder notes every code start in two edge windows of kEdgeBits bits: the head,
// from `start`, and the tail, from `stop`, which it decodes into before it ends. The tail of one
// segment and the head of the next cover the same bits; a code start that both note is one at
// which both decoders stand, so the first segment's output up to there and the next segment's
// output from there on join into the true output.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/fast/byte_translation.h"
#include "engine/format/code_tree.h"
#include "engine/fast/decode_kernel.h"
#include "engine/fast/decode_table.h"
#include "engine/fast/lanes.h"

namespace ravmolt {

constexpr unsigned kEdgeBits = 512;
// One bit per position of an edge window, set where a code starts.
using EdgeMap = std::array<std::uint64_t, kEdgeBits / 64>;

inline void markCodeStart(EdgeMap& map, unsigned offset) {
  map[offset / 64] |= std::uint64_t{1} << (offset % 64);
}
// The first offset that both maps mark, or kEdgeBits when none.
unsigned firstCommonStart(const EdgeMap& a, const EdgeMap& b);
// The last offset that `map` marks, or kEdgeBits when none.
unsigned lastCodeStart(const EdgeMap& map);
// How many code starts `map` marks below `offset`: the codes that begin before it.
std::size_t codeStartsBelow(const EdgeMap& map, unsigned offset);

// Payload bytes held in memory for one segment.
struct SegmentInput {
  const std::uint8_t* bytes;
  std::uint64_t firstBit;  // the payload bit at the top of bytes[0]; a multiple of 8
};

struct SegmentResult {
  std::size_t count = 0;     // symbols written
  EdgeMap head{};            // code starts in [start, start + kEdgeBits), as offsets from start
  EdgeMap tail{};            // code starts in [stop, stop + kEdgeBits), as offsets from stop
  std::size_t tailBase = 0;  // index of the symbol whose code starts first at or after stop
};

// Bits past a segment's stop that its decoder reads: the tail window and the longest code that
// starts in it, and whole bytes around them.
constexpr std::size_t kTailReadBytes = (kEdgeBits + kLongestCodeBits) / 8 + 2;

class SegmentDecoder {
 public:
  // The tables must have been built from `root`, whose code lengths `shape` describes.
  SegmentDecoder(const DecodeTable& table, const TreeNode* root, const CodeShape& shape);

  // Output room for decoding a segment of `bits` payload bits and its tail window: one byte per
  // shortest code, and the margin the fast loop keeps.
  static std::size_t outputRoom(std::uint64_t bits, const CodeShape& shape);

  // Decodes from `start` through the head window, noting code starts in result.head, into `out`,
  // which has `room` >= outputRoom(stop - start) bytes. `input` must hold the bits from `start`.
  void begin(const SegmentInput& input, std::uint64_t start, std::uint8_t* out, std::size_t room,
             SegmentResult& result);
  // Decodes on, after begin(), until `stop`. When the payload ends there, exactly to it: an
  // incomplete last code produces nothing, and `input` must hold the payload's last byte. When
  // another segment follows, on through the tail window, noting code starts in result.tail:
  // `input` must hold kTailReadBytes past the byte of `stop`, a multiple of 8.
  void finish(std::uint64_t stop, bool endsPayload, SegmentResult& result);

 private:
  std::uint64_t position() const;
  // The bulk of the segment, up to kInputMargin bytes before `inEnd`.
  void decodeBulk(const std::uint8_t* inEnd);

  const DecodeTable& table_;
  const TreeNode* root_;
  CodeShape shape_;
  ByteTranslation translation_;
  LaneBuffers lanes_;
  int laneFailures_ = 0;

  SegmentInput input_{};
  std::uint8_t* outBegin_ = nullptr;
  std::uint8_t* outEnd_ = nullptr;
  Lane lane_{};
};

}  // namespace ravmolt
