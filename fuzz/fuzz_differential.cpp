// Fuzz target: the production payload decoder against the reference tree walk, on random count
// tables and random bits, at every bitCount cut-off of the payload.
//
// Input layout: byte 0 the number of table entries, byte 1 flags (bit 0: four-byte counts,
// otherwise one-byte counts; bit 1: each cut-off gets exactly the bytes it announces, otherwise
// the whole payload follows it); then the entries (symbol, count); the rest is payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/bit_reader.h"
#include "engine/code_tree.h"
#include "engine/decompressor.h"
#include "engine/payload_decoder.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"

namespace {

using namespace ravmolt;

// Every cut-off costs a decode of up to the whole payload, so the payload is kept short; 1024
// bits still hold four of the longest (255-bit) codes.
constexpr std::size_t kMaxPayloadBytes = 128;

// Output bytes produced after each number of bits: entry c counts the leaves reached in the first
// c bits, so the reference output cut at c bits is the first lengths[c] bytes of the full one.
std::vector<std::size_t> leavesReached(const TreeNode* root,
                                       std::span<const std::uint8_t> payload) {
  std::vector<std::size_t> lengths{0};
  const TreeNode* node = root;
  std::size_t count = 0;
  for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
    node = ((payload[bit / 8] >> (7 - bit % 8)) & 1U) != 0 ? node->right : node->left;
    if (isLeaf(node)) {
      ++count;
      node = root;
    }
    lengths.push_back(count);
  }
  return lengths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t entries = data[0];
  const bool wideCounts = (data[1] & 1U) != 0;
  const bool exactPayload = (data[1] & 2U) != 0;
  const std::size_t entrySize = wideCounts ? 5 : 2;
  std::size_t at = 2;
  FrequencyTable frequencies{};
  for (std::size_t i = 0; i < entries && at + entrySize <= size; ++i, at += entrySize) {
    frequencies[data[at]] = wideCounts ? static_cast<std::int32_t>(checks::littleEndian(
                                             std::span<const std::uint8_t>(data + at + 1, 4)))
                                       : std::int32_t{data[at + 1]};
  }
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  if (root == nullptr) return 0;
  const std::span<const std::uint8_t> payload(
      data + std::min(at, size), std::min(size - std::min(at, size), kMaxPayloadBytes));
  const auto totalBits = static_cast<std::int32_t>(payload.size() * 8);

  // The reference: walkTree over all the bits, and where each cut-off ends in its output.
  static checks::MemoryDestination referenceMemory;
  {
    SourceStream source(payload);
    BitReader bits(source);
    DestinationStream& out = referenceMemory.start();
    walkTree(root, bits, totalBits, out);
    out.flush();
  }
  const std::vector<std::uint8_t>& reference = referenceMemory.bytes();
  const std::vector<std::size_t> lengths = leavesReached(root, payload);
  if (lengths.back() != reference.size()) checks::fail("differential", "reference walk disagrees");

  static checks::MemoryDestination memory;
  DestinationStream& destination = memory.start();
  std::vector<std::uint8_t>& output = memory.bytes();
  for (std::int32_t cut = 1; cut <= totalBits; ++cut) {
    // A fresh heap copy ending exactly at the last announced byte, so that reading one byte too
    // far is caught by the address sanitizer rather than read from the next bytes of the input.
    const auto announced = static_cast<std::size_t>(cut + 7) / 8;
    const std::vector<std::uint8_t> bytes(
        payload.begin(),
        payload.begin() + static_cast<std::ptrdiff_t>(exactPayload ? announced : payload.size()));
    SourceStream source(bytes);
    const DecodeStatus status = decodePayload(root, source, cut, destination);
    destination.flush();
    if (status != DecodeStatus::success) checks::fail("differential", "decodePayload failed");
    const std::size_t expected = lengths[static_cast<std::size_t>(cut)];
    if (output.size() != expected || !std::equal(output.begin(), output.end(), reference.begin())) {
      checks::fail("differential", "decodePayload differs from walkTree");
    }
    output.clear();
  }
  return 0;
}
