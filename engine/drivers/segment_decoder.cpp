#include "engine/drivers/segment_decoder.h"

#include <cassert>

namespace ravmolt {

void SegmentDecoder::begin(const SegmentInput& input, BitPosition start, std::uint8_t* out,
                           SegmentResult& result) {
  assert(start >= input.firstBit);
  input_ = input;
  outBegin_ = out;
  position_ = start - input.firstBit;
  result.head = {};
  const SpanResult head = span_.decodeNoting(input.bytes, position_, position_ + kEdgeBits,
                                             position_, result.head, out);
  position_ = head.next;
  out_ = head.out;
}

void SegmentDecoder::finish(BitPosition stop, bool endsPayload, SegmentResult& result) {
  const BitPosition end = stop - input_.firstBit;
  if (endsPayload) {
    out_ = span_.decode(input_.bytes, position_, end, SpanEnd::payloadEnd, out_).out;
    result.count = static_cast<std::size_t>(out_ - outBegin_);
    return;
  }
  assert(stop % 8 == 0);
  const SpanResult body = span_.decode(input_.bytes, position_, end, SpanEnd::moreFollows, out_);
  result.tailBase = static_cast<std::size_t>(body.out - outBegin_);
  result.tail = {};
  const SpanResult tail =
      span_.decodeNoting(input_.bytes, body.next, end + kEdgeBits, end, result.tail, body.out);
  position_ = tail.next;
  out_ = tail.out;
  result.count = static_cast<std::size_t>(out_ - outBegin_);
}

}  // namespace ravmolt
