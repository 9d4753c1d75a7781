#include "engine/drivers/segment_decoder.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace ravmolt {

unsigned firstCommonStart(const EdgeMap& a, const EdgeMap& b) {
  for (std::size_t word = 0; word < a.size(); ++word) {
    const std::uint64_t both = a[word] & b[word];
    if (both != 0) return static_cast<unsigned>(word * 64 + std::countr_zero(both));
  }
  return kEdgeBits;
}

unsigned lastCodeStart(const EdgeMap& map) {
  for (std::size_t word = map.size(); word-- > 0;) {
    if (map[word] != 0) return static_cast<unsigned>(word * 64 + 63 - std::countl_zero(map[word]));
  }
  return kEdgeBits;
}

std::size_t codeStartsBelow(const EdgeMap& map, unsigned offset) {
  std::size_t count = 0;
  for (std::size_t word = 0; word < offset / 64; ++word) count += std::popcount(map[word]);
  if (offset % 64 != 0) {
    count += std::popcount(map[offset / 64] & ((std::uint64_t{1} << (offset % 64)) - 1));
  }
  return count;
}

SegmentDecoder::SegmentDecoder(const DecodeTable& table, const TreeNode* root,
                               const CodeShape& shape)
    : table_(table), root_(root), shape_(shape), translation_(root) {}

std::size_t SegmentDecoder::outputRoom(std::uint64_t bits, const CodeShape& shape) {
  const std::uint64_t decoded = bits + kEdgeBits + kLongestCodeBits;
  // Only the fast loop's stores reach past the last symbol, by under eight bytes.
  return static_cast<std::size_t>(decoded / static_cast<std::uint64_t>(shape.shortest)) +
         kOutputMargin + 8;
}

std::uint64_t SegmentDecoder::position() const {
  return input_.firstBit + static_cast<std::uint64_t>(lane_.in - input_.bytes) * 8 + lane_.bit;
}

void SegmentDecoder::begin(const SegmentInput& input, std::uint64_t start, std::uint8_t* out,
                           std::size_t room, SegmentResult& result) {
  assert(start >= input.firstBit);
  input_ = input;
  outBegin_ = out;
  outEnd_ = out + room;
  const std::uint64_t offset = start - input.firstBit;
  lane_ = {input.bytes + offset / 8, static_cast<unsigned>(offset % 8), out};
  result.head = {};
  for (std::uint64_t at = start; at < start + kEdgeBits; at = position()) {
    markCodeStart(result.head, static_cast<unsigned>(at - start));
    *lane_.out++ = decodeOneCode(table_, root_, lane_.in, lane_.bit);
  }
}

void SegmentDecoder::decodeBulk(const std::uint8_t* inEnd) {
  if (isByteTranslation(shape_) && lane_.bit == 0) {
    // Every code is one whole byte, so every byte boundary is a code boundary.
    const std::uint8_t* const last = inEnd - kInputMargin;
    if (lane_.in < last) {
      const auto count = static_cast<std::size_t>(last - lane_.in);
      translation_.apply(lane_.in, lane_.out, count);
      lane_.in += count;
      lane_.out += count;
    }
    return;
  }
  while (laneFailures_ <= kFailureAllowance) {
    const std::size_t laneBits =
        laneBitsFor(static_cast<std::size_t>(inEnd - lane_.in), shape_.lengthDivisor);
    if (laneBits == 0) break;
    const BlockResult block = decodeLanes(table_, root_, lane_, laneBits, lanes_);
    lane_ = block.next;
    for (const std::span<const std::uint8_t> proven : block.proven) {
      if (proven.empty()) continue;
      std::memcpy(lane_.out, proven.data(), proven.size());
      lane_.out += proven.size();
    }
    laneFailures_ += block.synchronised ? -1 : 1;
  }
  // Room never stops the loop: outputRoom() covers a byte per shortest code, and the margin.
  fastLoop(table_, lane_, inEnd, outEnd_);
}

void SegmentDecoder::finish(std::uint64_t stop, bool endsPayload, SegmentResult& result) {
  const std::uint8_t* const stopByte = input_.bytes + (stop - input_.firstBit) / 8;
  if (endsPayload) {
    decodeBulk(stopByte + (stop % 8 != 0 ? 1 : 0));
    // Walk the bits that are left from the root; an incomplete last code produces nothing.
    const TreeNode* node = root_;
    for (std::uint64_t left = stop - position(); left > 0; --left) {
      node = ((*lane_.in >> (7 - lane_.bit)) & 1U) != 0 ? node->right : node->left;
      skipBits(lane_.in, lane_.bit, 1);
      if (isLeaf(node)) {
        *lane_.out++ = node->symbol;
        node = root_;
      }
    }
    result.count = static_cast<std::size_t>(lane_.out - outBegin_);
    return;
  }

  assert(stop % 8 == 0);
  decodeBulk(stopByte);
  result.tail = {};
  result.tailBase = 0;
  bool reached = false;
  for (std::uint64_t at = position(); at < stop + kEdgeBits; at = position()) {
    if (at >= stop) {
      if (!reached) result.tailBase = static_cast<std::size_t>(lane_.out - outBegin_);
      reached = true;
      markCodeStart(result.tail, static_cast<unsigned>(at - stop));
    }
    assert(lane_.out < outEnd_);
    *lane_.out++ = decodeOneCode(table_, root_, lane_.in, lane_.bit);
  }
  result.count = static_cast<std::size_t>(lane_.out - outBegin_);
}

}  // namespace ravmolt
