// One block of interleaved lanes against a walk of the tree: what the block hands back (lane 0's
// output, then each proven lane's) must be exactly the true symbols up to the position it reports,
// and that position must be a true code boundary, whether the lanes join or not.
#include "engine/fast/lanes.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/code_shapes.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using testing::neverInStepCounts;
using testing::threeBitCounts;
using Bytes = std::vector<std::uint8_t>;

// The true decoding of `payload`: every code's start, in bits, and its symbol.
struct Truth {
  std::set<std::uint64_t> boundaries;
  Bytes symbols;  // symbols[i] is the symbol of the i-th code
};

Truth walk(const TreeNode* root, const Bytes& payload) {
  Truth truth;
  const TreeNode* node = root;
  truth.boundaries.insert(0);
  for (std::uint64_t bit = 0; bit < 8 * payload.size(); ++bit) {
    const bool one = ((payload[bit / 8] >> (7 - bit % 8)) & 1U) != 0;
    node = one ? node->right : node->left;
    if (isLeaf(node)) {
      truth.symbols.push_back(node->symbol);
      truth.boundaries.insert(bit + 1);
      node = root;
    }
  }
  return truth;
}

struct BlockCase {
  const char* name;
  FrequencyTable counts;
  std::optional<tools::CorpusKind> data;  // encoded with `counts`; else random bits, or:
  std::optional<std::uint8_t> fill;       // every payload byte this one
  unsigned startBit;                      // where the block starts in the first byte, 0..7
  int lengthDivisor;                      // for laneBitsFor; 1 puts lanes on plain byte multiples
  std::size_t extraBits;                  // added to the lane length, to start lanes off step
  bool expectSynchronised;
};

void PrintTo(const BlockCase& value, std::ostream* out) { *out << value.name; }

std::vector<BlockCase> blockCases() {
  using tools::CorpusKind;
  const auto text = tools::countBytes(tools::makeCorpus(CorpusKind::englishText, 100000, 3));
  // Codes of up to about 40 bits, many longer than a table lookup; counted on the very data the
  // test encodes, as the rarest symbols differ from one draw to another.
  const auto deep = tools::countBytes(tools::makeCorpus(CorpusKind::fibonacciWeights, 400000, 4));
  // 256 counts of INT32_MAX wrap into a caterpillar 255 levels deep: a payload of ones is its
  // 1-bit code over and over, one of zeros its 255-bit code, on which lanes off a multiple of 255
  // bits never fall into step and every window is a long code.
  FrequencyTable caterpillar;
  caterpillar.fill(INT32_MAX);
  return {
      {"englishText", text, CorpusKind::englishText, {}, 0, 1, 0, true},
      {"englishTextFromBit5", text, CorpusKind::englishText, {}, 5, 1, 0, true},
      {"longCodes", deep, CorpusKind::fibonacciWeights, {}, 0, 1, 0, true},
      {"longCodesFromBit3", deep, CorpusKind::fibonacciWeights, {}, 3, 1, 0, true},
      {"manyLongCodes", testing::manyLongCodesCounts(), {}, {}, 0, 1, 0, true},
      {"onlyOnes", caterpillar, {}, 0xFF, 0, 1, 0, true},
      {"onlyZeros", caterpillar, {}, 0x00, 0, 1, 0, false},
      {"threeBitCodesInStep", threeBitCounts(), {}, {}, 0, 3, 0, true},
      {"threeBitCodesInStepFromBit2", threeBitCounts(), {}, {}, 2, 3, 0, true},
      {"threeBitCodesOffStep", threeBitCounts(), {}, {}, 0, 3, 1, false},
      {"neverInStep", neverInStepCounts(), {}, {}, 3, 1, 1, false},
  };
}

class LaneBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(LaneBlocks, HandBackTheTrueSymbolsUpToATrueBoundary) {
  const BlockCase& c = GetParam();
  NodeArena arena;
  const TreeNode* root = buildTree(c.counts, arena);
  ASSERT_NE(root, nullptr);
  DecodeTable table;
  table.build(root);

  // The block starts c.startBit bits into the first byte, taken as a true code boundary: the
  // truth is the walk from there.
  Bytes payload(kBlockInputBytes + 64);
  if (c.data) {
    const auto data = tools::makeCorpus(*c.data, 400000, 4);
    const auto file = tools::encodeWithTable(c.counts, data);
    ASSERT_TRUE(file.has_value());
    const FileHeader header = parseHeader(file->data());
    const auto* bits = file->data() + kHeaderSize + header.tableSize;
    ASSERT_GE(file->data() + file->size() - bits, static_cast<std::ptrdiff_t>(payload.size()));
    std::copy(bits, bits + payload.size(), payload.begin());
  } else if (c.fill) {
    std::fill(payload.begin(), payload.end(), *c.fill);
  } else {
    std::mt19937 random(6);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
  }
  // Shift the walk so that it starts at c.startBit: decode from there as the block does.
  Bytes shifted = payload;
  for (std::size_t i = 0; i < shifted.size(); ++i) {
    const unsigned next = i + 1 < payload.size() ? payload[i + 1] : 0;
    shifted[i] = static_cast<std::uint8_t>((payload[i] << c.startBit) | (next >> (8 - c.startBit)));
  }
  const Truth truth = walk(root, shifted);

  const std::size_t laneBits = laneBitsFor(payload.size(), c.lengthDivisor) + c.extraBits;
  ASSERT_GT(laneBits, 8 * kMinimumLaneBytes);
  ASSERT_LE(laneBits, 8 * kLaneBytes + 8);
  Bytes out(kLaneOutputBytes);
  LaneBuffers buffers;
  const BlockResult block =
      decodeLanes(table, root, {payload.data(), c.startBit, out.data()}, laneBits, buffers);
  EXPECT_EQ(block.synchronised, c.expectSynchronised);

  Bytes handedBack(out.data(), block.next.out);
  bool emptyFromHere = false;
  std::uint64_t proven = 0;  // lanes after lane 0 handed back
  for (const auto span : block.proven) {
    if (emptyFromHere) {
      EXPECT_TRUE(span.empty()) << "a lane after an unproven one";
    }
    emptyFromHere = emptyFromHere || span.empty();
    proven += span.empty() ? 0 : 1;
    handedBack.insert(handedBack.end(), span.begin(), span.end());
  }
  const std::uint64_t reached =
      static_cast<std::uint64_t>(block.next.in - payload.data()) * 8 + block.next.bit - c.startBit;
  ASSERT_TRUE(truth.boundaries.contains(reached)) << "stopped inside a code, at bit " << reached;
  // Every lane's share of the block is handed back when all joined; at least lane 0's otherwise.
  EXPECT_GE(reached, (c.expectSynchronised ? kLanes : 1) * (laneBits - 64));
  // No lane runs on past its stop by more than a window and a long code (so a block reads no
  // further than kBlockInputBytes), and the lane that stopped the block walked no further than
  // over the next lane's records.
  constexpr std::uint64_t kLongStep = kLongestCodeBits + DecodeTable::kTableBits;
  const std::uint64_t lastStop =
      c.expectSynchronised ? kLanes * laneBits : (proven + 1) * laneBits + kRecords * kLongStep;
  EXPECT_LE(reached, lastStop + 7 + kLookupsPerWindow * DecodeTable::kTableBits + kLongStep);
  const auto codes = static_cast<std::size_t>(
      std::distance(truth.boundaries.begin(), truth.boundaries.find(reached)));
  ASSERT_EQ(handedBack.size(), codes);
  EXPECT_TRUE(std::equal(handedBack.begin(), handedBack.end(), truth.symbols.begin()));
}

INSTANTIATE_TEST_SUITE_P(Blocks, LaneBlocks, ::testing::ValuesIn(blockCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LaneBits, FitTheInputAndTheCommonCodeLength) {
  EXPECT_EQ(laneBitsFor(kBlockInputBytes, 1), 8 * kLaneBytes);
  EXPECT_EQ(laneBitsFor(std::size_t{1} << 20, 1), 8 * kLaneBytes);
  EXPECT_EQ(laneBitsFor(kBlockInputBytes, 3) % 3, 0U);
  EXPECT_GT(laneBitsFor(kBlockInputBytes, 3), 8 * kLaneBytes - 3);
  // Shorter input: shorter lanes, down to the minimum, then no block at all.
  const std::size_t smallest = kLanes * kMinimumLaneBytes + 1 + kInputMargin;
  EXPECT_EQ(laneBitsFor(smallest, 1), 8 * kMinimumLaneBytes);
  EXPECT_EQ(laneBitsFor(smallest - 1, 1), 0U);
  EXPECT_EQ(laneBitsFor(smallest, 7), 0U);  // rounding down to 7 bits falls under the minimum
  for (std::size_t available = smallest; available < kBlockInputBytes + 100; available += 997) {
    const std::size_t bits = laneBitsFor(available, 5);
    if (bits == 0) continue;
    EXPECT_EQ(bits % 5, 0U);
    EXPECT_LE(kLanes * bits / 8 + 1 + kInputMargin, available);
  }
}

}  // namespace
}  // namespace ravmolt
