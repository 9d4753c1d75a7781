// The span decoder: the fast twin of the reference walk. It decodes the codes of a payload held
// in memory between two bit positions, exactly as walking the tree one bit at a time would, into
// output memory. Most of a span goes through blocks of interleaved lanes (or, when every code is
// 8 bits, a byte translation) and a fast loop that checks its bound once per step; its last bits
// are decoded one code at a time, so that it stops exactly where it is told and never reads a
// byte it was not given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/fast/code_starts.h"
#include "engine/fast/decode_loops.h"
#include "engine/fast/decode_table.h"
#include "engine/fast/lanes.h"

namespace ravmolt {

// Where a span ends.
enum class SpanEnd : std::uint8_t {
  // `to` is the end of the payload: the codes that end by `to` are decoded, an incomplete last
  // code produces nothing, and no byte after the one that holds bit to - 1 is read.
  payloadEnd,
  // More payload follows `to`: the codes that start before `to` are decoded, and the input must
  // hold kReadPastBytes bytes past byte to / 8.
  moreFollows,
};

struct SpanResult {
  BitPosition next;   // the first bit not decoded, on a true code boundary
  std::uint8_t* out;  // just past the last symbol written
};

class SpanDecoder {
 public:
  // Decodes with `table`, which must outlive the decoder, spans of at most `longestSpan` bits,
  // through the decode loops of this processor (cpuFeatures()). Buffers are allocated here, once,
  // and only those such spans can use: lanes need a block. `lanes`, when given and ready, serve
  // instead of buffers of the decoder's own, so that a caller decoding file after file keeps one
  // set (see usesLanes).
  SpanDecoder(const DecodeTable& table, std::uint64_t longestSpan,
              LaneBuffers* lanes = nullptr) noexcept;
  SpanDecoder(const SpanDecoder&) = delete;
  SpanDecoder& operator=(const SpanDecoder&) = delete;

  // Output room a decode of `bits` bits needs: a byte for each code that can start in them, and
  // the bytes a store writes past the last symbol.
  std::size_t outputRoom(std::uint64_t bits) const;
  // Whether a decoder with `table` for spans of `longestSpan` bits decodes blocks of lanes.
  static bool usesLanes(const DecodeTable& table, std::uint64_t longestSpan);
  // The most bits a decode may be given for `room` (> kStoreOverrun + 1) bytes of output room.
  std::uint64_t bitsFor(std::size_t room) const;

  // The longest span of at most `bits` bits whose bulk is whole blocks of lanes, for callers that
  // may choose where a span ends: one that ends inside a block ends in a block of shorter lanes
  // and a stretch of the single-chain loop, which are slower.
  std::uint64_t wholeBlocks(std::uint64_t bits) const;

  // Decodes `input` from `from`, a true code boundary, up to `to` as `end` says, into `out`, which
  // has outputRoom(to - from) bytes.
  SpanResult decode(std::span<const std::uint8_t> input, BitPosition from, BitPosition to,
                    SpanEnd end, std::uint8_t* out);
  // The same as a moreFollows decode, noting each code's start in `starts` as its offset from
  // `base` (base <= from, to - base <= kEdgeBits).
  SpanResult decodeNoting(std::span<const std::uint8_t> input, BitPosition from, BitPosition to,
                          BitPosition base, CodeStarts& starts, std::uint8_t* out);

 private:
  // Decodes whole steps from `from` while they start no later than `limit`; returns where it
  // stopped, a true code boundary.
  BitPosition decodeBulk(const std::uint8_t* stream, BitPosition from, BitPosition limit,
                         std::uint8_t*& out);
  // Decodes one code at a time the codes that end by `to`, reading nothing from `end` on.
  BitPosition decodeLastCodes(const std::uint8_t* stream, const std::uint8_t* end, BitPosition from,
                              BitPosition to, std::uint8_t*& out) const;

  const DecodeTable& table_;
  const ByteTranslation* translation_;  // when every code is 8 bits
  bool bulk_;                           // the root table suits the fast loops
  const DecodeLoops loops_;             // chosen for this processor
  std::optional<LaneBuffers> ownLanes_;
  LaneBuffers* lanes_ = nullptr;  // for spans that hold a block: ownLanes_ or the caller's
  int laneFailures_ = 0;
};

}  // namespace ravmolt
