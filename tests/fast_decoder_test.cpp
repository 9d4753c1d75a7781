// The parts of the fast decoder checked on their own: every lookup-table entry recomputed from
// the codes of the tree, one block of interleaved lanes against a walk of the tree, the byte
// translation, and the plan that cuts a payload into segments for two threads.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "engine/drivers/segment_plan.h"
#include "engine/fast/byte_translation.h"
#include "engine/fast/lanes.h"
#include "tests/code_shapes.h"
#include "tests/decode_support.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;

FrequencyTable allCounts(std::int32_t count) {
  FrequencyTable counts{};
  counts.fill(count);
  return counts;
}

// --- Lookup tables -----------------------------------------------------------------------------

// The codes of every leaf as '0'/'1' text, the filler leaf included, and the path of every node.
void collectPaths(const TreeNode* node, const std::string& path,
                  std::map<const TreeNode*, std::string>& paths) {
  paths[node] = path;
  if (isLeaf(node)) return;
  collectPaths(node->left, path + '0', paths);
  collectPaths(node->right, path + '1', paths);
}

std::string bitsOfIndex(std::size_t index, int width) {
  std::string text;
  for (int k = width - 1; k >= 0; --k) text += ((index >> k) & 1U) ? '1' : '0';
  return text;
}

// Checks each entry against the leaf codes: its symbols' codes, after the path of the table's
// start node, spell the looked-up bits up to the consumed count; after them no further code fits in
// the bits left (unless the entry is full); and an entry without symbols consumes nothing and names
// the table of the inner node those bits lead to.
void expectEntriesMatchCodes(const FrequencyTable& frequencies, int rootBits) {
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  ASSERT_NE(root, nullptr);
  std::map<const TreeNode*, std::string> paths;
  collectPaths(root, "", paths);
  std::vector<std::pair<std::string, std::uint8_t>> leafCodes;
  for (const auto& [node, path] : paths) {
    if (isLeaf(node)) leafCodes.emplace_back(path, node->symbol);
  }
  // The one leaf code that is a prefix of `bits`, if any (codes are prefix-free).
  const auto leadingCode =
      [&](std::string_view bits) -> const std::pair<std::string, std::uint8_t>* {
    for (const auto& code : leafCodes) {
      if (code.first.size() <= bits.size() && bits.starts_with(code.first)) return &code;
    }
    return nullptr;
  };

  DecodeTable table;
  EXPECT_TRUE(table.build(root, rootBits));
  for (const auto& [code, symbol] : leafCodes) {
    EXPECT_EQ(table.codeLengthOf(symbol), code.size()) << "symbol " << int{symbol};
  }
  for (std::size_t t = 0; t < table.tableCount(); ++t) {
    const std::string startPath = paths.at(table.start(t));
    ASSERT_FALSE(isLeaf(table.start(t)));
    if (t > 0) {
      EXPECT_EQ((startPath.size() - table.rootBits()) % DecodeTable::kTableBits, 0U);
    }
    // Below the root a table looks at just enough bits for its deepest leaf.
    int height = 0;
    for (const auto& code : leafCodes) {
      if (code.first.starts_with(startPath)) {
        height = std::max(height, static_cast<int>(code.first.size() - startPath.size()));
      }
    }
    EXPECT_EQ(table.width(t), t == 0 ? rootBits : std::min(height, DecodeTable::kTableBits));
    for (std::size_t index = 0; index < (std::size_t{1} << table.width(t)); ++index) {
      SCOPED_TRACE(::testing::Message() << "table " << t << " index " << index);
      const DecodeEntry entry = table.table(t)[index];
      const unsigned count = DecodeTable::symbolCountOf(entry);
      const std::string bits = startPath + bitsOfIndex(index, table.width(t));
      std::size_t at = 0;
      for (unsigned s = 0; s < count; ++s) {
        const auto* code = leadingCode(std::string_view(bits).substr(at));
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->second, DecodeTable::symbolOf(entry, s));
        at += code->first.size();
      }
      if (count == 0) {
        EXPECT_EQ(DecodeTable::bitsOf(entry), 0U) << "a lookup that meets it must stay on it";
        EXPECT_EQ(leadingCode(bits), nullptr);
        const std::size_t next = DecodeTable::nextTableOf(entry);
        ASSERT_LT(next, table.tableCount());
        EXPECT_EQ(paths.at(table.start(next)), bits);
        continue;
      }
      EXPECT_EQ(at - startPath.size(), DecodeTable::bitsOf(entry));
      if (count < DecodeTable::kMaxSymbols) {
        EXPECT_EQ(leadingCode(std::string_view(bits).substr(at)), nullptr) << "a further code fits";
      }
    }
  }
}

TEST(DecodeTable, EveryEntryMatchesTheCodesOfTheTree) {
  FrequencyTable single{};
  single['A'] = 4;
  FrequencyTable abracadabra{};
  abracadabra['a'] = 5;
  abracadabra['b'] = 2;
  abracadabra['c'] = 1;
  abracadabra['d'] = 1;
  abracadabra['r'] = 2;
  const auto text = tools::makeCorpus(tools::CorpusKind::englishText, 20000, 17);
  const auto executable = tools::makeCorpus(tools::CorpusKind::executable, 20000, 18);
  for (const FrequencyTable& frequencies :
       {single, abracadabra, tools::countBytes(text), tools::countBytes(executable),
        tools::fibonacciCounts(), allCounts(1), allCounts(INT32_MAX)}) {
    for (const int rootBits : {DecodeTable::kTableBits, DecodeTable::kSmallRootBits}) {
      SCOPED_TRACE(::testing::Message() << "root of " << rootBits << " bits");
      expectEntriesMatchCodes(frequencies, rootBits);
    }
  }
}

TEST(DecodeTable, BuildsOneTableForEachInnerNodeAtAWholeNumberOfTableWidths) {
  // The 255-deep caterpillar has one inner node at each depth 0..254.
  NodeArena arena;
  DecodeTable table;
  ASSERT_TRUE(table.build(buildTree(allCounts(INT32_MAX), arena)));
  EXPECT_EQ(table.tableCount(), 1 + 254 / DecodeTable::kTableBits);
  EXPECT_EQ(table.shape().longest, 255);
  EXPECT_EQ(table.shape().shortest, 1);
}

TEST(DecodeTable, KnowsTheShapeOfItsCodes) {
  struct ShapeCase {
    FrequencyTable counts;
    int shortest, longest, divisor;
  };
  FrequencyTable abracadabra{};  // a = 0, b = 110, r = 111, c = 100, d = 101
  abracadabra['a'] = 5;
  abracadabra['b'] = 2;
  abracadabra['c'] = 1;
  abracadabra['d'] = 1;
  abracadabra['r'] = 2;
  FrequencyTable single{};  // 'A' = 0 and the filler = 1
  single['A'] = 4;
  for (const ShapeCase& c :
       {ShapeCase{abracadabra, 1, 3, 1}, ShapeCase{single, 1, 1, 1},
        ShapeCase{testing::threeBitCounts(), 3, 3, 3}, ShapeCase{allCounts(1), 8, 8, 8}}) {
    NodeArena arena;
    DecodeTable table;
    ASSERT_TRUE(table.build(buildTree(c.counts, arena)));
    EXPECT_EQ(table.shape().shortest, c.shortest);
    EXPECT_EQ(table.shape().longest, c.longest);
    EXPECT_EQ(table.shape().lengthDivisor, c.divisor);
    const bool flat = c.shortest == 8 && c.longest == 8;
    EXPECT_EQ(table.shape().isByteTranslation(), flat);
    EXPECT_EQ(table.byteTranslation() != nullptr, flat);
    EXPECT_EQ(table.tableCount() == 0, flat) << "a byte translation needs no lookup tables";
  }
}

// --- Lanes -------------------------------------------------------------------------------------

// The true decoding of a block's payload from its start bit.
checks::Walk walk(const TreeNode* root, const Bytes& payload, unsigned fromBit) {
  return checks::Walk(root, payload, 8 * payload.size() - fromBit, fromBit);
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
  // A payload of ones is the caterpillar's 1-bit code over and over, one of zeros its 255-bit
  // code, on which lanes off a multiple of 255 bits never fall into step and every window is a
  // long code.
  const FrequencyTable caterpillar = allCounts(INT32_MAX);
  return {
      {"englishText", text, CorpusKind::englishText, {}, 0, 1, 0, true},
      {"englishTextFromBit5", text, CorpusKind::englishText, {}, 5, 1, 0, true},
      {"longCodes", deep, CorpusKind::fibonacciWeights, {}, 0, 1, 0, true},
      {"longCodesFromBit3", deep, CorpusKind::fibonacciWeights, {}, 3, 1, 0, true},
      {"manyLongCodes", testing::manyLongCodesCounts(), {}, {}, 0, 1, 0, true},
      {"onlyOnes", caterpillar, {}, 0xFF, 0, 1, 0, true},
      {"onlyZeros", caterpillar, {}, 0x00, 0, 1, 0, false},
      {"threeBitCodesInStep", testing::threeBitCounts(), {}, {}, 0, 3, 0, true},
      {"threeBitCodesInStepFromBit2", testing::threeBitCounts(), {}, {}, 2, 3, 0, true},
      {"threeBitCodesOffStep", testing::threeBitCounts(), {}, {}, 0, 3, 1, false},
      {"neverInStep", testing::neverInStepCounts(), {}, {}, 3, 1, 1, false},
      // Nearly every code 4 or 6 bits long: lanes drift into step only over hundreds of codes,
      // long after their first windows, and are proven by their later ones.
      {"hexDump", testing::nearFlatCounts(16, 60), {}, {}, 0, 1, 0, true},
      {"base64Lines", testing::nearFlatCounts(64, 76), {}, {}, 1, 1, 0, true},
  };
}

Bytes blockPayload(const BlockCase& c, std::size_t size) {
  Bytes payload(size);
  if (c.data) {
    const auto file = tools::encodeWithTable(c.counts, tools::makeCorpus(*c.data, 400000, 4));
    EXPECT_TRUE(file.has_value());
    const std::size_t start =
        kHeaderSize + static_cast<std::size_t>(parseHeader(file->data()).tableSize);
    EXPECT_GE(file->size() - start, size);
    std::copy_n(file->begin() + static_cast<std::ptrdiff_t>(start), size, payload.begin());
  } else if (c.fill) {
    std::fill(payload.begin(), payload.end(), *c.fill);
  } else {
    std::mt19937 random(6);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
  }
  return payload;
}

// What a block hands back (lane 0's output, then each proven lane's) must be exactly the true
// symbols up to the position it reports, and that position must be a true code boundary, whether
// the lanes join or not. Nothing is written more than a store's overrun past the symbols handed
// back. Returns whether the lanes joined, on every lane loop alike.
bool expectTrueBlock(const DecodeTable& table, const Bytes& payload, const checks::Walk& truth,
                     unsigned startBit, std::size_t laneBits) {
  constexpr std::uint8_t kCanary = 0xA5;
  Bytes out(kLanes * kLaneBits + kStepBits + kStoreOverrun + 64);
  LaneBuffers buffers;
  std::optional<bool> joined;
  for (const auto& variant : testing::loopVariantsHere()) {
    SCOPED_TRACE(variant.name);
    std::fill(out.begin(), out.end(), kCanary);
    const LaneBlock block =
        decodeLoopsFor(variant.limit)
            .lanes(table, payload.data(), startBit, laneBits, out.data(), buffers);
    std::uint8_t* const end = out.data() + out.size();
    EXPECT_TRUE(std::all_of(std::min(block.out + kStoreOverrun, end), end, [](std::uint8_t byte) {
      return byte == kCanary;
    })) << "written past the symbols and a store's overrun";
    if (joined) {
      EXPECT_EQ(block.synchronised, *joined) << "the lane loops disagree";
    }
    joined = block.synchronised;
    const std::string verdict =
        checks::judgeStop(truth, block.next, std::span<const std::uint8_t>(out.data(), block.out));
    EXPECT_TRUE(testing::judged(verdict));
    if (!verdict.empty()) break;
    const std::uint64_t reached = block.next - startBit;
    // Every lane runs at least to the next lane's start, and the last to the block's end: the
    // whole block is handed back when all joined, at least lane 0's chunk otherwise.
    EXPECT_GE(reached, (block.synchronised ? kLanes : 1) * laneBits);
    // No lane runs on past the block by more than a step, and the lane that stopped the block
    // walked no further than over the next lane's records.
    EXPECT_LE(reached, kLanes * laneBits + kStepBits);
  }
  return joined.value_or(false);
}

// Whether the lanes of a block must join, from the walks of the tree alone: a lane is proven when
// one of its first kRecords windows, or of its later noted ones, starts on a true code boundary.
// A window spans at most kStepBits bits and holds at least one code, or one for each of its
// lookups when no code is longer than a lookup. So a lane whose walk from its start stands on a
// true boundary within the fewest codes that kRecords - 1 windows hold is proven, and one that
// stands on none within kRecordReach bits and a step is not. Nothing when a lane falls in
// between: it depends on its windows.
std::optional<bool> lanesMustJoin(const DecodeTable& table, const TreeNode* root,
                                  const Bytes& payload, const checks::Walk& truth,
                                  unsigned startBit, std::size_t laneBits) {
  const std::size_t codesPerWindow = table.hasLongCodes() ? 1 : kLookupsPerWindow;
  std::optional<bool> join = true;
  for (std::size_t lane = 1; lane < kLanes; ++lane) {
    const std::uint64_t start = startBit + lane * laneBits;
    std::uint64_t boundary = start;  // the last one of the lane's walk
    std::size_t codes = 0;
    const TreeNode* node = root;
    for (std::uint64_t bit = start; !truth.boundary(boundary); ++bit) {
      if (bit - start >= kRecordReach + kStepBits) return false;
      node = ((payload[bit / 8] >> (7 - bit % 8)) & 1U) != 0 ? node->right : node->left;
      if (isLeaf(node)) {
        node = root;
        boundary = bit + 1;
        ++codes;
      }
    }
    if (codes > codesPerWindow * (kRecords - 1)) join.reset();
  }
  return join;
}

class LaneBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(LaneBlocks, HandBackTheTrueSymbolsUpToATrueBoundary) {
  const BlockCase& c = GetParam();
  NodeArena arena;
  const TreeNode* root = buildTree(c.counts, arena);
  ASSERT_NE(root, nullptr);
  DecodeTable table;
  ASSERT_TRUE(table.build(root));

  // The block may read a step and a lookup's eight bytes past its end.
  const std::size_t blockBits = kLanes * kLaneBits + 8;
  const Bytes payload = blockPayload(c, (c.startBit + blockBits + kStepBits) / 8 + 16);
  const checks::Walk truth = walk(root, payload, c.startBit);

  const std::size_t laneBits = laneBitsFor(blockBits, c.lengthDivisor) + c.extraBits;
  ASSERT_GT(laneBits, kMinimumLaneBits);
  ASSERT_LE(laneBits, kLaneBits + 8);
  EXPECT_EQ(expectTrueBlock(table, payload, truth, c.startBit, laneBits), c.expectSynchronised);
}

// Trees of random counts (a few symbols to all 256, evenly or wildly weighted) under random bits,
// from every bit of the first byte, in blocks of every length from the shortest to the longest:
// where lanes stop, meet the next lane's noted windows, or give up, against the walk, and whether
// they join where the walks tell. Both lane loops must be met, the one that tests each window for
// a long code and the one that cannot.
TEST(LaneBlocks, RandomTreesHandBackTheTrueSymbols) {
  std::mt19937 random(17);
  std::set<bool> longCodes;
  int decided = 0;  // rounds whose walks tell whether the lanes must join
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    FrequencyTable counts{};
    const std::size_t symbols = 2 + random() % (round % 4 == 0 ? 60 : 255);
    for (std::size_t i = 0; i < symbols; ++i) {
      // Counts near one another, over a wide range, or of every order of magnitude: the last
      // make codes far longer than a lookup.
      const std::uint32_t count = round % 3 == 0   ? 1 + random() % 4
                                  : round % 3 == 1 ? 1 + random() % 100000
                                                   : 1u << (random() % 31);
      counts[random() % 256] = static_cast<std::int32_t>(count);
    }
    NodeArena arena;
    const TreeNode* root = buildTree(counts, arena);
    ASSERT_NE(root, nullptr);
    if (isLeaf(root)) continue;
    DecodeTable table;
    ASSERT_TRUE(table.build(root));
    if (table.byteTranslation() != nullptr) continue;  // no lanes: every code is 8 bits
    longCodes.insert(table.hasLongCodes());

    const std::size_t laneBits = kMinimumLaneBits + random() % (kLaneBits - kMinimumLaneBits + 1);
    const auto startBit = static_cast<unsigned>(random() % 8);
    Bytes payload((startBit + kLanes * laneBits + kStepBits) / 8 + 16);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
    const checks::Walk truth = walk(root, payload, startBit);
    const bool joined = expectTrueBlock(table, payload, truth, startBit, laneBits);
    if (const auto must = lanesMustJoin(table, root, payload, truth, startBit, laneBits)) {
      EXPECT_EQ(joined, *must);
      ++decided;
    }
  }
  EXPECT_EQ(longCodes.size(), 2u) << "the rounds did not meet both lane loops";
  EXPECT_GE(decided, 10) << "too few rounds tell whether their lanes must join";
}

INSTANTIATE_TEST_SUITE_P(Blocks, LaneBlocks, ::testing::ValuesIn(blockCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LaneBits, FitTheInputAndTheCommonCodeLength) {
  const std::uint64_t full = kLanes * kLaneBits;
  EXPECT_EQ(laneBitsFor(full, 1), kLaneBits);
  EXPECT_EQ(laneBitsFor(std::uint64_t{1} << 30, 1), kLaneBits);
  EXPECT_EQ(laneBitsFor(full, 3) % 3, 0U);
  EXPECT_GT(laneBitsFor(full, 3), kLaneBits - 3);
  // Less input: shorter lanes, down to the minimum, then no block at all.
  const std::uint64_t smallest = kLanes * kMinimumLaneBits;
  EXPECT_EQ(laneBitsFor(smallest, 1), kMinimumLaneBits);
  EXPECT_EQ(laneBitsFor(smallest - 1, 1), 0U);
  EXPECT_EQ(laneBitsFor(smallest, 7), 0U);  // rounding down to 7 bits falls under the minimum
  for (std::uint64_t available = smallest; available < full + 100; available += 997) {
    const std::size_t bits = laneBitsFor(available, 5);
    if (bits == 0) continue;
    EXPECT_EQ(bits % 5, 0U);
    EXPECT_LE(kLanes * bits, available);
  }
  // Past a full block by more than a chunk and less than the smallest block: two blocks share
  // the input, rather than a full one leaving the rest to a single chain.
  for (const std::uint64_t rest : {kMinimumLaneBits, smallest / 2, smallest - 1}) {
    const std::size_t first = laneBitsFor(full + rest, 1);
    EXPECT_EQ(first, (full + rest) / (2 * kLanes)) << rest;
    EXPECT_NE(laneBitsFor(full + rest - kLanes * first, 1), 0U) << rest;
  }
  EXPECT_EQ(laneBitsFor(full + kMinimumLaneBits - 1, 1), kLaneBits);
  EXPECT_EQ(laneBitsFor(full + smallest, 1), kLaneBits);
}

// --- Byte translation --------------------------------------------------------------------------

// Flat counts with a few ties broken differently: all 256 codes 8 bits, in a shuffled order.
FrequencyTable flatCounts(std::uint32_t seed) {
  FrequencyTable counts{};
  std::mt19937 random(seed);
  for (auto& count : counts) count = 1000 + static_cast<std::int32_t>(random() % 900);
  return counts;
}

// Every count from none to six in each of the four words, the kept bytes in order and nothing
// written past the 32 bytes a pack may use.
#if RAVMOLT_X86_LOOPS
TEST(PackedWords, KeepTheCountedBytesOfEachWordInOrder) {
  if ((cpuFeatures() & kFeaturePackedStores) == 0) {
    GTEST_SKIP() << "this processor has no byte compress";
  }
  std::mt19937 random(9);
  for (unsigned combination = 0; combination < 7 * 7 * 7 * 7; ++combination) {
    std::array<std::uint64_t, PackedWords::size()> plain{};
    Bytes expected;
    for (unsigned w = 0, rest = combination; w < plain.size(); ++w, rest /= 7) {
      const unsigned count = rest % 7;
      std::uint64_t word = random() & 0xFF;  // byte 0 is never kept
      word |= std::uint64_t{count} << 8;
      for (unsigned b = 0; b < 6; ++b) {
        const auto byte = static_cast<std::uint8_t>(random());
        word |= std::uint64_t{byte} << (16 + 8 * b);
        if (b < count) expected.push_back(byte);
      }
      plain[w] = word;
    }
    PackedWords words;
    words.put<0>(plain[0]);
    words.put<1>(plain[1]);
    words.put<2>(plain[2]);
    words.put<3>(plain[3]);
    EXPECT_EQ(words.last(), plain[3]);
    Bytes out(kPackedOverrun + 8, 0xEE);
    ASSERT_EQ(words.storeKept(out.data()), expected.size()) << "combination " << combination;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
        << "combination " << combination;
    EXPECT_TRUE(std::all_of(out.begin() + kPackedOverrun, out.end(),
                            [](std::uint8_t byte) { return byte == 0xEE; }));
  }
}
#endif

TEST(ByteTranslation, MapsEveryByteToTheSymbolOfItsCode) {
  NodeArena arena;
  const TreeNode* root = buildTree(flatCounts(41), arena);
  const tools::CodeTable codes = tools::codesFromTree(root);
  const ByteTranslation translation(root);
  bool identity = true;
  for (unsigned symbol = 0; symbol < 256; ++symbol) {
    ASSERT_EQ(codes[symbol].length, 8) << "symbol " << symbol;
    const auto byte = static_cast<std::uint8_t>(codes[symbol].words[0] >> 56);
    EXPECT_EQ(translation.symbolOf(byte), symbol);
    identity = identity && byte == symbol;
  }
  EXPECT_FALSE(identity) << "the codes should not simply be the byte values";
}

TEST(ByteTranslation, TranslatesRunsOfEveryLengthAndAlignment) {
  // The wide path takes 64 bytes at a time and the byte path finishes.
  NodeArena arena;
  const ByteTranslation translation(buildTree(flatCounts(42), arena));
  std::mt19937 random(42);
  Bytes in(1024);
  for (auto& byte : in) byte = static_cast<std::uint8_t>(random());
  for (const auto& variant : testing::loopVariantsHere()) {
    SCOPED_TRACE(variant.name);
    const TranslateBytes translate = decodeLoopsFor(variant.limit).translate;
    for (std::size_t offset = 0; offset < 3; ++offset) {
      for (std::size_t count = 0; count <= 300; ++count) {
        Bytes out(count + 2 * 64, 0xEE);
        translate(translation.symbols(), in.data() + offset, out.data() + 1 + offset, count);
        for (std::size_t i = 0; i < count; ++i) {
          ASSERT_EQ(out[1 + offset + i], translation.symbolOf(in[offset + i]))
              << "byte " << i << " of " << count << " at offset " << offset;
        }
        // Nothing is written outside the run.
        ASSERT_EQ(out[offset], 0xEE);
        ASSERT_EQ(out[1 + offset + count], 0xEE);
      }
    }
  }
  // Codes that start inside a byte straddle two.
  for (unsigned shift = 1; shift < 8; ++shift) {
    Bytes out(100);
    translation.applyAt(in.data(), 8 * 5 + shift, out.size(), out.data());
    for (std::size_t i = 0; i < out.size(); ++i) {
      const auto code =
          static_cast<std::uint8_t>((in[5 + i] << shift) | (in[6 + i] >> (8 - shift)));
      ASSERT_EQ(out[i], translation.symbolOf(code)) << "shift " << shift << " code " << i;
    }
  }
}

// --- Segment plans -----------------------------------------------------------------------------

TEST(SegmentPlan, CutsWhereCodesCanFallIntoStep) {
  struct PlanCase {
    CodeShape shape;
    std::uint64_t bits;
    std::size_t outputBytes;
  };
  const PlanCase cases[] = {
      {{3, 12, 1}, INT32_MAX, std::size_t{1} << 20},
      {{3, 3, 3}, 90000000, std::size_t{1} << 20},
      {{8, 8, 8}, 8 * 5000000, std::size_t{1} << 20},
      {{2, 6, 2}, 1 << 22, 4096},  // at least kMinimumSegmentBits even for little output
      {{1, 30, 1}, 123456789, std::size_t{1} << 18},
      {{1, 2, 1}, kMinimumSegmentBits * 3 - 1, 4096},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE("bits " + std::to_string(c.bits));
    const SegmentPlan plan = planSegments(c.shape, c.bits, c.outputBytes);
    ASSERT_GE(plan.count, 1U);
    EXPECT_EQ(plan.segmentBits % 8, 0U);
    EXPECT_EQ(plan.segmentBits % static_cast<std::uint64_t>(c.shape.lengthDivisor), 0U);
    EXPECT_GE(plan.segmentBits, kMinimumSegmentBits);
    const std::uint64_t lastStart = plan.startOf(plan.count - 1);
    ASSERT_LE(lastStart, c.bits);
    const std::uint64_t lastBits = c.bits - lastStart;
    if (plan.count > 1) {
      EXPECT_TRUE(fitsPlan(plan, c.bits));
      EXPECT_GE(lastBits, kMinimumSegmentBits);
      // A whole segment restores no more than the output asked for, at one byte per shortest
      // code, unless the minimum length forces more.
      if (plan.segmentBits > kMinimumSegmentBits + 64) {
        EXPECT_LE(plan.segmentBits / static_cast<std::uint64_t>(c.shape.shortest), c.outputBytes);
      }
    }
    EXPECT_LT(lastBits, 2 * plan.segmentBits + kMinimumSegmentBits);
  }
}

TEST(SegmentPlan, RefusesWhatTwoThreadsCannotDecode) {
  const std::uint64_t bits = 10 * kMinimumSegmentBits + 5;
  EXPECT_TRUE(fitsPlan({kMinimumSegmentBits, 10}, bits));
  EXPECT_FALSE(fitsPlan({kMinimumSegmentBits, 1}, bits));       // one segment
  EXPECT_FALSE(fitsPlan({kMinimumSegmentBits / 2, 20}, bits));  // segments too short
  EXPECT_FALSE(fitsPlan({kMinimumSegmentBits + 4, 9}, bits));   // not on whole bytes
  EXPECT_FALSE(fitsPlan({kMinimumSegmentBits, 11}, bits));      // past the end
  EXPECT_FALSE(fitsPlan({kMinimumSegmentBits, 10}, 10 * kMinimumSegmentBits - 1));
}

}  // namespace
}  // namespace ravmolt
