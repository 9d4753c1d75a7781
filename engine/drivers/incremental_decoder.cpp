#include "engine/drivers/incremental_decoder.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/fast/decode_steps.h"

namespace ravmolt {
namespace {

// As for whole payloads: below this many bits, the small root table, whose build costs less than
// the fast loops would save.
constexpr std::uint64_t kSmallPayloadBits = 8 * (std::uint64_t{16} << 10);
// The caller's room is decoded into straight away when it takes the rest of the input, or a span
// of this many bits at least, a block of lanes well above the shortest (256 KiB of room takes
// such a span even for 1-bit codes). Less room than that goes through the staging buffer, whose
// spans are long enough for whole blocks: shorter spans decoded in the room would go through
// the shortest lanes or a single chain, which costs more than the copy.
constexpr std::uint64_t kMinimumDirectBits = 8 * (std::uint64_t{24} << 10);
// A piece shorter than this goes to the carry-over whole.
constexpr std::size_t kShortestPiece = 2 * kReadPastBytes;

static_assert(IncrementalDecoder::kLookahead >= kReadPastBytes,
              "the codes that start in the carry-over read no further than the lookahead");
// The carry-over holds a code's bits (from a byte's middle) and a short piece or the lookahead.
static_assert(IncrementalDecoder::kCarrySize >=
              (kLongestCodeBits + 7) / 8 + 1 +
                  std::max(IncrementalDecoder::kLookahead, kShortestPiece + kReadPastBytes));

}  // namespace

IncrementalDecoder::IncrementalDecoder()
    : staging_(allocateArray<std::uint8_t>(kStagingSize)),
      carry_(allocateArray<std::uint8_t>(kCarrySize)) {}

void IncrementalDecoder::reset() {
  stage_ = Stage::header;
  result_ = RAVMOLT_SUCCESS;
  headerFill_ = 0;
  tableTaken_ = 0;
  frequencies_ = {};
  arena_ = NodeArena();
  spans_.reset();
  carried_ = 0;
  position_ = 0;
  end_ = 0;
  payloadDone_ = false;
  stagedBegin_ = stagedEnd_ = 0;
}

ravmolt_status IncrementalDecoder::finish(ravmolt_status status) {
  stage_ = Stage::finished;
  result_ = status;
  return status;
}

void IncrementalDecoder::takeHeader(StreamInput& input) {
  const std::size_t take = std::min(kHeaderSize - headerFill_, input.size - input.used);
  if (take == 0) return;  // the data may then be null
  std::memcpy(header_ + headerFill_, input.data + input.used, take);
  headerFill_ += take;
  input.used += take;
  if (headerFill_ < kHeaderSize) return;
  fields_ = parseHeader(header_);
  if (!checksumMatches(fields_)) {
    finish(RAVMOLT_INVALID_FORMAT);
    return;
  }
  // Whole entries are read while their offset is below tableSize, so a size that is not a
  // multiple of an entry reads the last entry on into the payload.
  const std::size_t size = fields_.tableSize > 0 ? static_cast<std::size_t>(fields_.tableSize) : 0;
  tableBytes_ = (size + kTableEntrySize - 1) / kTableEntrySize * kTableEntrySize;
  stage_ = Stage::table;
}

void IncrementalDecoder::takeTable(StreamInput& input) {
  while (tableTaken_ < tableBytes_ && input.used < input.size) {
    const std::size_t fill = tableTaken_ % kTableEntrySize;
    const std::size_t take = std::min(kTableEntrySize - fill, input.size - input.used);
    std::memcpy(entry_ + fill, input.data + input.used, take);
    input.used += take;
    tableTaken_ += take;
    if (fill + take == kTableEntrySize) {
      frequencies_[entry_[0]] = readLittleEndian<std::int32_t>(entry_ + 1);  // later entries win
    }
  }
  if (tableTaken_ == tableBytes_) startPayload();
}

void IncrementalDecoder::startPayload() {
  if (fields_.bitCount <= 0) {  // nothing to restore
    finish(RAVMOLT_SUCCESS);
    return;
  }
  const TreeNode* root = buildTree(frequencies_, arena_);
  if (root == nullptr) {  // bits but no codes
    finish(RAVMOLT_INVALID_FORMAT);
    return;
  }
  const auto bits = static_cast<std::uint64_t>(fields_.bitCount);
  if (!table_.build(
          root, bits < kSmallPayloadBits ? DecodeTable::kSmallRootBits : DecodeTable::kTableBits)) {
    finish(RAVMOLT_OUT_OF_MEMORY);
    return;
  }
  if (!lanes_ && SpanDecoder::usesLanes(table_, bits)) {
    lanes_.emplace();
    if (!lanes_->ready()) lanes_.reset();  // spans then decode without lanes
  }
  spans_.emplace(table_, bits, lanes_ ? &*lanes_ : nullptr);
  // A positive count needs an entry, so the table is not empty. The payload starts at tableSize,
  // within the last entry when it reached past it: those bytes begin the carry-over.
  carried_ = tableBytes_ - static_cast<std::size_t>(fields_.tableSize);
  std::memcpy(carry_.get(), entry_ + kTableEntrySize - carried_, carried_);
  position_ = 0;
  end_ = bits;
  stage_ = Stage::payload;
}

ravmolt_status IncrementalDecoder::decode(StreamInput& input, StreamOutput& output,
                                          bool inputEnded) {
  if (stage_ == Stage::header) takeHeader(input);
  if (stage_ == Stage::table) takeTable(input);
  if (stage_ == Stage::payload) return decodePayload(input, output, inputEnded);
  if (stage_ == Stage::finished) return result_;
  // The header or the table is not whole yet.
  if (inputEnded) return finish(RAVMOLT_INVALID_FORMAT);
  return RAVMOLT_NEEDS_INPUT;
}

ravmolt_status IncrementalDecoder::decodePayload(StreamInput& input, StreamOutput& output,
                                                 bool inputEnded) {
  for (;;) {
    handOut(output);
    if (stagedBegin_ != stagedEnd_) {
      keepPartialByte(input);
      return RAVMOLT_OUTPUT_PENDING;
    }
    if (payloadDone_) return finish(RAVMOLT_SUCCESS);
    const bool progress =
        carried_ > 0 ? carryStep(input, output, inputEnded) : pieceStep(input, output);
    if (progress) continue;
    // Every complete code of the bytes given is decoded.
    assert(input.used == input.size);
    return inputEnded ? finish(RAVMOLT_TRUNCATED) : RAVMOLT_NEEDS_INPUT;
  }
}

void IncrementalDecoder::handOut(StreamOutput& output) {
  const std::size_t count = std::min(stagedEnd_ - stagedBegin_, output.room - output.made);
  if (count == 0) return;
  std::memcpy(output.data + output.made, staging_.get() + stagedBegin_, count);
  output.made += count;
  stagedBegin_ += count;
  if (stagedBegin_ == stagedEnd_) stagedBegin_ = stagedEnd_ = 0;
}

bool IncrementalDecoder::carryStep(StreamInput& input, StreamOutput& output, bool inputEnded) {
  const std::size_t payloadBytes = static_cast<std::size_t>((end_ + 7) / 8);
  const std::size_t wanted = payloadBytes > carried_ ? payloadBytes - carried_ : 0;
  const std::size_t available = std::min(input.size - input.used, wanted);
  const std::uint8_t* const piece = input.data + input.used;
  if (available >= kLookahead) {
    // A long piece follows: its first bytes are copied, not taken, for the codes that start in
    // the carry-over to be decoded, and decoding goes on in the piece itself from the first code
    // that starts there.
    std::memcpy(carry_.get() + carried_, piece, kLookahead);
    const BitPosition boundary = 8 * BitPosition{carried_};
    const bool ends = end_ <= boundary + 8 * kLookahead;
    const bool reached =
        decodeSpan({carry_.get(), carried_ + kLookahead}, ends ? end_ : boundary, !ends, output);
    if (ends && reached) {
      input.used += wanted;
      payloadDone_ = true;
    } else if (position_ >= boundary) {
      const BitPosition into = position_ - boundary;
      input.used += static_cast<std::size_t>(into / 8);
      end_ -= boundary + into / 8 * 8;
      position_ = into % 8;
      carried_ = 0;
    } else {
      dropCarried(static_cast<std::size_t>(position_ / 8));
    }
    return true;
  }
  // A short piece is taken whole. The codes that start in the carry-over are decoded as soon as
  // the bytes they may read are there; the last ones, which end in it, once no more will come.
  if (available > 0) std::memcpy(carry_.get() + carried_, piece, available);
  input.used += available;
  carried_ += available;
  const bool last = end_ <= 8 * BitPosition{carried_} || (inputEnded && input.used == input.size);
  BitPosition to = std::min<BitPosition>(8 * BitPosition{carried_}, end_);
  if (!last) {
    if (carried_ < kReadPastBytes || 8 * BitPosition{carried_ - kReadPastBytes} <= position_) {
      return available > 0;
    }
    to = 8 * BitPosition{carried_ - kReadPastBytes};
  }
  const BitPosition from = position_;
  const bool reached = decodeSpan({carry_.get(), carried_}, to, !last, output);
  if (reached && to == end_) {
    payloadDone_ = true;
    return true;
  }
  const bool progress = available > 0 || position_ != from;
  dropCarried(static_cast<std::size_t>(position_ / 8));
  return progress;
}

bool IncrementalDecoder::pieceStep(StreamInput& input, StreamOutput& output) {
  const std::size_t payloadBytes = static_cast<std::size_t>((end_ + 7) / 8);
  const std::size_t available = std::min(input.size - input.used, payloadBytes);
  const std::span<const std::uint8_t> piece(input.data + input.used, available);
  if (8 * std::uint64_t{available} >= end_) {  // the payload ends in this piece
    if (decodeSpan(piece, end_, false, output)) {
      input.used += available;
      payloadDone_ = true;
      return true;
    }
  } else if (table_.byteTranslation() != nullptr && available > 0) {
    // Every code is a whole byte, and translating one reads that byte alone: the piece is
    // decoded to its end, and nothing is carried over.
    (void)decodeSpan(piece, 8 * BitPosition{available}, false, output);
  } else if (available >= kShortestPiece) {
    (void)decodeSpan(piece, 8 * BitPosition{available - kReadPastBytes}, true, output);
  } else {
    // Too short to decode in place: the carry-over takes it, with the bits already decoded of
    // its first byte.
    assert(position_ < 8);
    if (available == 0) return false;  // the data may then be null
    std::memcpy(carry_.get(), piece.data(), available);
    carried_ = available;
    input.used += available;
    return true;
  }
  const auto whole = static_cast<std::size_t>(position_ / 8);
  input.used += whole;
  end_ -= 8 * BitPosition{whole};
  position_ %= 8;
  return true;
}

bool IncrementalDecoder::decodeSpan(std::span<const std::uint8_t> bytes, BitPosition to, bool more,
                                    StreamOutput& output) {
  assert(stagedBegin_ == stagedEnd_ && to >= position_);
  SpanDecoder& spans = *spans_;
  const std::uint64_t bits = to - position_;
  const std::size_t room = output.room - output.made;
  const std::uint64_t direct = room > kStoreOverrun + 1 ? spans.bitsFor(room) : 0;
  const bool intoRoom = direct >= bits || direct >= kMinimumDirectBits;
  const std::uint64_t most = intoRoom ? direct : spans.bitsFor(kStagingSize);
  std::uint8_t* const out = intoRoom ? output.data + output.made : staging_.get();
  BitPosition stop = to;
  if (bits > most) {
    // Cut short for room: where whole blocks of lanes end, reading past the stop only bytes that
    // are there.
    stop = position_ + spans.wholeBlocks(most);
    if (!more) more = stop / 8 + kReadPastBytes <= bytes.size();
  }
  const SpanResult span =
      spans.decode(bytes, position_, stop, more ? SpanEnd::moreFollows : SpanEnd::payloadEnd, out);
  position_ = span.next;
  const auto made = static_cast<std::size_t>(span.out - out);
  if (intoRoom) {
    output.made += made;
  } else {
    stagedEnd_ = made;
  }
  return stop == to;
}

void IncrementalDecoder::dropCarried(std::size_t count) {
  std::memmove(carry_.get(), carry_.get() + count, carried_ - count);
  carried_ -= count;
  end_ -= 8 * BitPosition{count};
  position_ -= 8 * BitPosition{count};
}

void IncrementalDecoder::keepPartialByte(StreamInput& input) {
  if (carried_ > 0 || position_ == 0 || payloadDone_) return;
  assert(position_ < 8 && input.used < input.size);
  carry_[0] = input.data[input.used++];
  carried_ = 1;
}

}  // namespace ravmolt
