#include "engine/drivers/stream_driver.h"

#include <algorithm>
#include <cassert>

#include "engine/fast/span_decoder.h"

namespace ravmolt {
namespace {

// Input kept buffered ahead of each span, so that blocks of lanes fit in it.
constexpr std::size_t kSpanInputBytes = SourceStream::kBufferSize / 2;
static_assert(kSpanInputBytes > kLanes * kLaneBits / 8 + kReadPastBytes + kStepBits / 8);

}  // namespace

DecodeStatus decodeOnOneThread(const DecodeTable& table, const Payload& payload,
                               DestinationStream& destination) {
  SourceStream& source = payload.source;
  SpanDecoder decoder(table, payload.bits);
  source.seek(payload.offset);
  const std::uint64_t payloadBytes = (payload.bits + 7) / 8;
  std::uint64_t behind = 0;  // payload bytes the source has moved past
  BitPosition from = 0;      // where the next span starts in the buffered input, 0..7
  for (;;) {
    const std::uint64_t bytesLeft = payloadBytes - behind;
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytesLeft, kSpanInputBytes));
    std::span<const std::uint8_t> input = source.bufferedAtLeast(wanted);
    if (input.size() < wanted) return DecodeStatus::invalidFormat;  // the source shrank
    input = input.first(static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), bytesLeft)));

    // The destination is flushed first unless its free space takes the whole span's output: a
    // span cut short by the room ends in shorter blocks of lanes and the single-chain loop.
    const std::span<std::uint8_t> room = destination.freeSpace(
        std::min(decoder.outputRoom(8 * input.size()), DestinationStream::kBufferSize));
    if (destination.failed()) return DecodeStatus::writeFailed;
    const std::uint64_t most = decoder.bitsFor(room.size());
    const BitPosition end = payload.bits - 8 * behind;  // the payload's end, in the input's bits
    // The room asked for holds the output of all the input when that fits the buffer, so the
    // payload's end is decoded in one span, and short of it a span has bytes to read past `to`.
    const bool last = input.size() == bytesLeft && end - from <= most;
    assert(last || 8 * (input.size() - kReadPastBytes) > from);
    // Short of the end, a span stops where what follows it is still buffered.
    const BitPosition to = last ? end
                                : from + decoder.wholeBlocks(std::min(
                                             most, 8 * (input.size() - kReadPastBytes) - from));
    const SpanResult span = decoder.decode(
        input, from, to, last ? SpanEnd::payloadEnd : SpanEnd::moreFollows, room.data());
    destination.commit(span.out);
    if (destination.failed()) return DecodeStatus::writeFailed;
    if (last) return DecodeStatus::success;
    source.advance(static_cast<std::size_t>(span.next / 8));
    behind += span.next / 8;
    from = span.next % 8;
  }
}

}  // namespace ravmolt
