// The payload decoder on one thread: the fast kernel over the source's buffer, straight into the
// destination's buffer. A fast loop runs while both buffers have a safe margin, checked once per
// step; most of the payload goes through blocks of interleaved lanes (see decodeLanes), and
// the last bytes are walked bit by bit, so exactly bitCount bits are taken and nothing past the
// payload is ever read. Flat 8-bit codes are a byte translation. Large files from descriptor to
// descriptor go to the two-thread decoder instead.
#include "engine/drivers/payload_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "engine/fast/bit_window.h"
#include "engine/fast/byte_translation.h"
#include "engine/fast/decode_kernel.h"
#include "engine/fast/lanes.h"
#include "engine/drivers/parallel_decoder.h"

namespace ravmolt {
namespace {

using Table = DecodeTable;

static_assert(kOutputMargin <= DestinationStream::kBufferSize / 2);
static_assert(kLaneOutputBytes <= DestinationStream::kBufferSize);

DecodeStatus translateBytes(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                            DestinationStream& destination) {
  const ByteTranslation translation(root);
  std::uint64_t left = static_cast<std::uint64_t>(bitCount) / 8;
  while (left > 0) {
    const std::span<const std::uint8_t> input = source.buffered();
    if (input.empty()) return DecodeStatus::invalidFormat;  // the source shrank
    std::uint8_t* out = destination.reserve(1);
    const std::size_t count = std::min<std::uint64_t>(
        {left, input.size(), static_cast<std::uint64_t>(destination.limit() - out)});
    translation.apply(input.data(), out, count);
    destination.commit(out + count);
    source.advance(count);
    left -= count;
    if (destination.failed()) return DecodeStatus::writeFailed;
  }
  return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
}

DecodeStatus decodeWithTables(const TreeNode* root, int lengthDivisor, SourceStream& source,
                              std::int32_t bitCount, DestinationStream& destination) {
  // Bytes kept buffered ahead so that whole blocks and the fast loop can run.
  constexpr std::size_t kRefillThreshold = kBlockInputBytes + kInputMargin;
  static_assert(kRefillThreshold <= SourceStream::kBufferSize / 2);
  Table table;
  table.build(root);
  LaneBuffers buffers;
  bool lanes = true;
  int failures = 0;

  const std::uint64_t payloadBytes = (static_cast<std::uint64_t>(bitCount) + 7) / 8;
  std::uint64_t bytesLeft = payloadBytes;  // from the start of the current span to the end
  unsigned bit = 0;
  for (;;) {
    const std::span<const std::uint8_t> input = source.bufferedAtLeast(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytesLeft, kRefillThreshold)));
    const std::size_t spanBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), bytesLeft));
    if (spanBytes < std::min<std::uint64_t>(bytesLeft, kRefillThreshold)) {
      return DecodeStatus::invalidFormat;  // the source shrank after it was checked
    }
    const std::uint8_t* in = input.data();
    const std::uint8_t* const inEnd = in + spanBytes;
    const bool lastSpan = spanBytes >= bytesLeft;

    // Whole blocks while more payload follows the span, then, in the last span, shorter ones too.
    while (lanes) {
      const auto available = static_cast<std::size_t>(inEnd - in);
      if (!lastSpan && available < kBlockInputBytes) break;
      const std::size_t laneBits = laneBitsFor(available, lengthDivisor);
      if (laneBits == 0) break;
      const BlockResult block = decodeLanes(
          table, root, {in, bit, destination.reserve(kLaneOutputBytes)}, laneBits, buffers);
      destination.commit(block.next.out);
      in = block.next.in;
      bit = block.next.bit;
      for (std::span<const std::uint8_t> proven : block.proven) {
        while (!proven.empty()) {
          std::uint8_t* to = destination.reserve(1);
          const auto count =
              std::min(proven.size(), static_cast<std::size_t>(destination.limit() - to));
          std::memcpy(to, proven.data(), count);
          destination.commit(to + count);
          proven = proven.subspan(count);
        }
      }
      if (block.synchronised) {
        --failures;
      } else if (++failures > kFailureAllowance) {
        lanes = false;
      }
      if (destination.failed()) return DecodeStatus::writeFailed;
    }
    if (lanes && !lastSpan) {  // leave the rest to the next, compacted span: lanes need room
      const auto consumed = static_cast<std::size_t>(in - input.data());
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    for (;;) {
      Lane lane{in, bit, destination.reserve(kOutputMargin)};
      fastLoop(table, lane, inEnd, destination.limit());
      destination.commit(lane.out);
      in = lane.in;
      bit = lane.bit;
      if (destination.failed()) return DecodeStatus::writeFailed;
      if (static_cast<std::size_t>(destination.limit() - lane.out) >= kOutputMargin) break;
    }

    const auto consumed = static_cast<std::size_t>(in - input.data());
    if (spanBytes < bytesLeft) {  // more payload follows in the file: keep the rest and read on
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    // The tail: fewer than kInputMargin bytes, all buffered. Walk the bits that bitCount still
    // covers from the root; an incomplete last code produces nothing.
    const std::uint64_t taken = (payloadBytes - bytesLeft + consumed) * 8 + bit;
    std::uint64_t tailBits = static_cast<std::uint64_t>(bitCount) - taken;
    const TreeNode* node = root;
    for (; tailBits > 0; --tailBits) {
      node = ((*in >> (7 - bit)) & 1U) != 0 ? node->right : node->left;
      if (++bit == 8) {
        bit = 0;
        ++in;
      }
      if (isLeaf(node)) {
        destination.put(node->symbol);
        node = root;
      }
    }
    source.advance(static_cast<std::size_t>(inEnd - input.data()));
    return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
  }
}

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                           DestinationStream& destination) {
  const CodeShape shape = shapeOf(root);
  if (const auto status = decodeInParallel(root, shape, source, bitCount, destination)) {
    return *status;
  }
  if (isByteTranslation(shape)) return translateBytes(root, source, bitCount, destination);
  return decodeWithTables(root, shape.lengthDivisor, source, bitCount, destination);
}

}  // namespace ravmolt
