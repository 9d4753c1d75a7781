#include "engine/fast/span_decoder.h"

#include <algorithm>
#include <cassert>

#include "engine/fast/decode_steps.h"
#include "engine/fast/join_counts.h"

namespace ravmolt {
namespace {

// Blocks that fail to resynchronise this many times more often than they succeed end the use of
// lanes for the decoder's lifetime: some codes never fall into step.
constexpr int kFailureAllowance = 8;

}  // namespace

bool SpanDecoder::usesLanes(const DecodeTable& table, std::uint64_t longestSpan) {
  return table.byteTranslation() == nullptr && table.rootBits() == DecodeTable::kTableBits &&
         laneBitsFor(longestSpan, 1) != 0;
}

SpanDecoder::SpanDecoder(const DecodeTable& table, std::uint64_t longestSpan,
                         LaneBuffers* lanes) noexcept
    : table_(table),
      translation_(table.byteTranslation()),
      bulk_(translation_ == nullptr && table.rootBits() == DecodeTable::kTableBits),
      loops_(decodeLoopsFor(cpuFeatures())) {
  if (!usesLanes(table, longestSpan)) return;
  if (lanes != nullptr && lanes->ready()) {
    lanes_ = lanes;
    return;
  }
  ownLanes_.emplace();
  if (ownLanes_->ready()) lanes_ = &*ownLanes_;  // without their memory, no lanes
}

std::size_t SpanDecoder::outputRoom(std::uint64_t bits) const {
  // The codes that start in `bits` bits number at most bits / shortest + 1.
  const auto shortest = static_cast<std::uint64_t>(table_.shape().shortest);
  return static_cast<std::size_t>(bits / shortest) + 1 + kStoreOverrun;
}

std::uint64_t SpanDecoder::bitsFor(std::size_t room) const {
  // The most bits whose outputRoom() is at most `room`: bits / shortest <= room - 1 - overrun.
  assert(room > kStoreOverrun + 1);
  return (room - kStoreOverrun) * static_cast<std::uint64_t>(table_.shape().shortest) - 1;
}

std::uint64_t SpanDecoder::wholeBlocks(std::uint64_t bits) const {
  // A block takes kLanes chunks and at most a step past them.
  constexpr std::uint64_t kBlockBits = kLanes * std::uint64_t{kLaneBits} + kStepBits;
  if (!lanes_ || bits < kBlockBits + kStepBits) return bits;
  return (bits - kStepBits) / kBlockBits * kBlockBits + kStepBits;
}

SpanResult SpanDecoder::decode(std::span<const std::uint8_t> input, BitPosition from,
                               BitPosition to, SpanEnd end, std::uint8_t* out) {
  assert(from <= to);
  const std::uint8_t* const stream = input.data();
  if (translation_ != nullptr) {  // every code is 8 bits
    const std::uint64_t codes = end == SpanEnd::moreFollows ? (to - from + 7) / 8 : (to - from) / 8;
    translation_->applyAt(stream, from, static_cast<std::size_t>(codes), out, loops_.translate);
    return {from + 8 * codes, out + codes};
  }
  if (end == SpanEnd::moreFollows) {
    assert(input.size() >= to / 8 + kReadPastBytes);
    BitPosition position =
        bulk_ && to >= kStepBits ? decodeBulk(stream, from, to - kStepBits, out) : from;
    while (position < to) *out++ = decodeOneCode(table_, stream, position);
    return {position, out};
  }
  // Steps must neither take a bit past `to` nor read a byte past the payload's last.
  assert(input.size() >= (to + 7) / 8);
  const std::uint8_t* const last = stream + (to + 7) / 8;
  const BitPosition readable = 8 * static_cast<BitPosition>(last - stream);
  const BitPosition bound = std::min(to, readable >= 64 ? readable - 64 : 0);
  BitPosition position = from;
  if (bulk_ && bound >= kStepBits) position = decodeBulk(stream, from, bound - kStepBits, out);
  return {decodeLastCodes(stream, last, position, to, out), out};
}

SpanResult SpanDecoder::decodeNoting(std::span<const std::uint8_t> input, BitPosition from,
                                     BitPosition to, BitPosition base, CodeStarts& starts,
                                     std::uint8_t* out) {
  assert(base <= from && to - base <= kEdgeBits);
  // The codes decode at full speed first; their starts follow from their symbols' lengths, a
  // chain of additions rather than of lookups.
  const SpanResult span = decode(input, from, to, SpanEnd::moreFollows, out);
  BitPosition position = from;
  for (const std::uint8_t* symbol = out; symbol != span.out; ++symbol) {
    markCodeStart(starts, static_cast<unsigned>(position - base));
    position += table_.codeLengthOf(*symbol);
  }
  assert(position == span.next);
  return span;
}

BitPosition SpanDecoder::decodeBulk(const std::uint8_t* stream, BitPosition from, BitPosition limit,
                                    std::uint8_t*& out) {
  if (from > limit) return from;
  BitPosition position = from;
  while (lanes_ && laneFailures_ <= kFailureAllowance && position < limit) {
    const std::size_t laneBits = laneBitsFor(limit - position, table_.shape().lengthDivisor);
    if (laneBits == 0) break;
    const LaneBlock block = loops_.lanes(table_, stream, position, laneBits, out, *lanes_);
    countJoinEvent(JoinEvent::laneBlock);
    countJoinEvent(JoinEvent::laneBits, block.next - position);
    if (!block.synchronised) countJoinEvent(JoinEvent::unjoinedBlock);
    position = block.next;
    out = block.out;
    laneFailures_ += block.synchronised ? -1 : 1;
    if (laneFailures_ > kFailureAllowance) countJoinEvent(JoinEvent::lanesGivenUp);
  }
  const BitPosition end = loops_.steps(table_, stream, position, limit, out);
  countJoinEvent(JoinEvent::chainBits, end - position);
  return end;
}

BitPosition SpanDecoder::decodeLastCodes(const std::uint8_t* stream, const std::uint8_t* end,
                                         BitPosition from, BitPosition to,
                                         std::uint8_t*& out) const {
  // A lookup past `to` sees whatever follows it (or zeros past `end`), but codes are prefix-free:
  // a code that ends by `to` is found whatever comes after it, and one that is found ending
  // later is one the bits up to `to` do not complete.
  const auto window = [stream, end](BitPosition at) { return windowBefore(stream, at, end); };
  BitPosition position = from;
  for (;;) {
    BitPosition at = position;
    const std::uint8_t symbol = DecodeTable::symbolOf(entryEndingCode(table_, at, window), 0);
    const BitPosition next = position + table_.codeLengthOf(symbol);
    if (next > to) return position;
    *out++ = symbol;
    position = next;
  }
}

}  // namespace ravmolt
