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

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/fast/code_starts.h"
#include "engine/fast/span_decoder.h"

namespace ravmolt {

// Payload bytes held in memory for one segment.
struct SegmentInput {
  std::span<const std::uint8_t> bytes;
  BitPosition firstBit;  // the payload bit at the top of bytes[0]; a multiple of 8
};

struct SegmentResult {
  std::size_t count = 0;     // symbols written
  CodeStarts head{};         // code starts in [start, start + kEdgeBits), as offsets from start
  CodeStarts tail{};         // code starts in [stop, stop + kEdgeBits), as offsets from stop
  std::size_t tailBase = 0;  // index of the symbol whose code starts first at or after stop
};

// Bytes past the byte of a segment's stop that its decoder reads: the tail window and what a
// decode to its end reads past it.
constexpr std::size_t kTailReadBytes = kEdgeBits / 8 + kReadPastBytes;

class SegmentDecoder {
 public:
  // Decodes with `table` segments of at most `longestSegment` bits.
  SegmentDecoder(const DecodeTable& table, std::uint64_t longestSegment)
      : span_(table, longestSegment + kEdgeBits) {}

  // Output room for decoding a segment of `bits` payload bits and its tail window.
  std::size_t outputRoom(std::uint64_t bits) const { return span_.outputRoom(bits + kEdgeBits); }

  // Decodes from `start` through the head window, noting code starts in result.head, into `out`,
  // which has outputRoom(stop - start) bytes. `input` must hold the bits from `start`.
  void begin(const SegmentInput& input, BitPosition start, std::uint8_t* out,
             SegmentResult& result);
  // Decodes on, after begin(), until `stop`. When the payload ends there, exactly to it: an
  // incomplete last code produces nothing, and `input` must end with the payload's last byte.
  // When another segment follows, on through the tail window, noting code starts in
  // result.tail: `input` must hold kTailReadBytes past the byte of `stop`, a multiple of 8.
  void finish(BitPosition stop, bool endsPayload, SegmentResult& result);

 private:
  SpanDecoder span_;
  SegmentInput input_{};
  std::uint8_t* outBegin_ = nullptr;
  std::uint8_t* out_ = nullptr;
  BitPosition position_ = 0;  // in input_.bytes
};

}  // namespace ravmolt
