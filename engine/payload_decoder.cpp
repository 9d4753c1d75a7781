// The fast payload decoder. Bits are looked up kTableBits at a time in tables built from the tree
// (several codes per lookup), from word-sized windows over the source's buffer, and symbols are
// stored straight into the destination's buffer. A fast loop runs while both buffers have a safe
// margin, checked once per step; the last bytes of the payload are walked bit by bit, so exactly
// bitCount bits are taken and nothing past the payload is ever read.
#include "engine/payload_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/bit_window.h"
#include "engine/decode_table.h"

namespace ravmolt {
namespace {

using Table = DecodeTable;

// Lookups per window: each takes at most kTableBits bits of the >= 57 that a window holds.
constexpr int kLookupsPerWindow = 57 / Table::kTableBits;
static_assert(kLookupsPerWindow >= 1);

// A fast step consumes at most one window's lookups (under 8 bytes) and one long code with the
// codes that end its last lookup (255 + kTableBits bits, under 34 bytes), and every lookup loads
// 8 bytes. Starting kInputMargin bytes before the end of the payload, it neither reads past the
// end nor takes a bit of the last byte, the only one that may hold padding beyond bitCount.
constexpr std::size_t kLongestCodeBits = 255;
constexpr std::size_t kStepConsumedBytes =
    (7 + kLookupsPerWindow * Table::kTableBits + kLongestCodeBits + Table::kTableBits) / 8 + 1;
constexpr std::size_t kInputMargin = 80;
static_assert(kInputMargin >= kStepConsumedBytes + 8 + 1);

// A fast step writes at most kLookupsPerWindow stores of eight bytes, plus one for a long code.
constexpr std::size_t kOutputMargin = 8 * (kLookupsPerWindow + 2);
static_assert(kOutputMargin <= DestinationStream::kBufferSize / 2);

// Bytes kept buffered ahead so the fast loop can run; compacting costs at most this much copying.
constexpr std::size_t kRefillThreshold = 4 * kInputMargin;
static_assert(kRefillThreshold <= SourceStream::kBufferSize / 4);

inline void storeSymbols(std::uint8_t* out, DecodeEntry entry) {
  const std::uint64_t symbols = entry >> Table::kSymbolShift;
  std::memcpy(out, &symbols, sizeof symbols);
}

// Finishes a code longer than kTableBits, starting again at the root table on its first bits,
// through the chain of tables its inner nodes start, to the entry where it ends.
[[gnu::noinline]] void decodeLongCode(const Table& table, const std::uint8_t*& in, unsigned& bit,
                                      std::uint8_t*& out) {
  std::size_t current = 0;
  for (;;) {
    const DecodeEntry entry = table.table(current)[peekBits(windowAt(in, bit), Table::kTableBits)];
    skipBits(in, bit, Table::bitsOf(entry));
    const unsigned count = Table::symbolCountOf(entry);
    if (count != 0) {
      storeSymbols(out, entry);
      out += count;
      return;
    }
    current = Table::nextTableOf(entry);
  }
}

// Decodes from `in` while at least kInputMargin bytes remain before `inEnd` and kOutputMargin
// bytes of room before `outEnd`. Starts and stops on code boundaries.
void fastLoop(const Table& table, const std::uint8_t*& inRef, unsigned& bitRef,
              const std::uint8_t* inEnd, std::uint8_t*& outRef, const std::uint8_t* outEnd) {
  const DecodeEntry* const root = table.table(0);
  const std::uint8_t* in = inRef;
  unsigned bit = bitRef;
  std::uint8_t* out = outRef;
  if (inEnd - in < static_cast<std::ptrdiff_t>(kInputMargin)) return;
  const std::uint8_t* const inLast = inEnd - kInputMargin;
  const std::uint8_t* const outLast = outEnd - kOutputMargin;
  while (in <= inLast && out <= outLast) {
    std::uint64_t window = windowAt(in, bit);
    unsigned used = bit;
    int step = 0;
    for (; step < kLookupsPerWindow; ++step) {
      const DecodeEntry entry = root[peekBits(window, Table::kTableBits)];
      if (Table::symbolCountOf(entry) == 0) break;
      storeSymbols(out, entry);
      out += Table::symbolCountOf(entry);
      window <<= (entry & 63);
      used += Table::bitsOf(entry);
    }
    in += used >> 3;
    bit = used & 7;
    if (step < kLookupsPerWindow) [[unlikely]]
      decodeLongCode(table, in, bit, out);
  }
  inRef = in;
  bitRef = bit;
  outRef = out;
}

// The depth of the shallowest and of the deepest leaf under `node`, counted from the root.
void leafDepths(const TreeNode* node, int depth, int& shallowest, int& deepest) {
  if (isLeaf(node)) {
    shallowest = std::min(shallowest, depth);
    deepest = std::max(deepest, depth);
    return;
  }
  leafDepths(node->left, depth + 1, shallowest, deepest);
  leafDepths(node->right, depth + 1, shallowest, deepest);
}

// All 256 codes are 8 bits long (flat counts, as for random bytes): every payload byte is one
// code, so decoding is a byte translation. Trailing bits short of a byte are an incomplete code.
DecodeStatus translateBytes(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                            DestinationStream& destination) {
  std::array<std::uint8_t, 256> symbolOf{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const TreeNode* node = root;
    for (int bit = 7; bit >= 0; --bit) node = ((byte >> bit) & 1U) != 0 ? node->right : node->left;
    symbolOf[byte] = node->symbol;
  }
  std::uint64_t left = static_cast<std::uint64_t>(bitCount) / 8;
  while (left > 0) {
    const std::span<const std::uint8_t> input = source.buffered();
    if (input.empty()) return DecodeStatus::invalidFormat;  // the source shrank
    std::uint8_t* out = destination.reserve(1);
    const std::size_t count = std::min<std::uint64_t>(
        {left, input.size(), static_cast<std::uint64_t>(destination.limit() - out)});
    for (std::size_t i = 0; i < count; ++i) out[i] = symbolOf[input[i]];
    destination.commit(out + count);
    source.advance(count);
    left -= count;
    if (destination.failed()) return DecodeStatus::writeFailed;
  }
  return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
}

DecodeStatus decodeWithTables(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                              DestinationStream& destination) {
  Table table;
  table.build(root);

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

    for (;;) {
      std::uint8_t* out = destination.reserve(kOutputMargin);
      fastLoop(table, in, bit, inEnd, out, destination.limit());
      destination.commit(out);
      if (destination.failed()) return DecodeStatus::writeFailed;
      if (static_cast<std::size_t>(destination.limit() - out) >= kOutputMargin) break;
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
  int shallowest = 256;
  int deepest = 0;
  leafDepths(root, 0, shallowest, deepest);
  if (shallowest == 8 && deepest == 8) return translateBytes(root, source, bitCount, destination);
  return decodeWithTables(root, source, bitCount, destination);
}

}  // namespace ravmolt
