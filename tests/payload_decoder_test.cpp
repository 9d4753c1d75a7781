// The fast payload decoder against the reference tree walk: random trees and random bits, the
// deepest possible codes, every bitCount cut-off of small files, data shaped like each benchmark
// corpus (in memory and through real files, across read-buffer boundaries), and every lookup-table
// entry recomputed from the codes of the tree.
#include "engine/drivers/payload_decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "engine/fast/decode_table.h"
#include "engine/decompressor.h"
#include "engine/io/file_decode.h"
#include "tests/code_shapes.h"
#include "tests/reference_walk.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using testing::appendTo;
using testing::referenceDecode;
using testing::sameBytes;

std::vector<std::uint8_t> fastDecode(const TreeNode* root, std::span<const std::uint8_t> payload,
                                     std::int32_t bitCount) {
  std::vector<std::uint8_t> out;
  DestinationStream destination(appendTo, &out);
  SourceStream source(payload);
  EXPECT_EQ(decodePayload(root, source, bitCount, destination), DecodeStatus::success);
  destination.flush();
  return out;
}

// An encoded file split into what the payload decoder sees.
struct Encoded {
  FrequencyTable frequencies{};
  std::vector<std::uint8_t> payload;
  std::int32_t bitCount = 0;
};

Encoded encodeOrFail(const FrequencyTable& frequencies, std::span<const std::uint8_t> data) {
  const auto file = tools::encodeWithTable(frequencies, data);
  EXPECT_TRUE(file.has_value());
  Encoded encoded;
  encoded.frequencies = frequencies;
  if (!file) return encoded;
  const FileHeader header = parseHeader(file->data());
  encoded.bitCount = header.bitCount;
  encoded.payload.assign(
      file->begin() + static_cast<std::ptrdiff_t>(kHeaderSize) + header.tableSize, file->end());
  return encoded;
}

FrequencyTable allCounts(std::int32_t count) {
  FrequencyTable counts{};
  counts.fill(count);
  return counts;
}

// Every byte value in a shuffled order, `rounds` times: with equal counts, all codes of a tree.
std::vector<std::uint8_t> everySymbol(std::size_t rounds, std::uint32_t seed) {
  std::vector<std::uint8_t> data;
  std::mt19937 random(seed);
  for (std::size_t round = 0; round < rounds; ++round) {
    std::vector<std::uint8_t> one(256);
    for (std::size_t i = 0; i < 256; ++i) one[i] = static_cast<std::uint8_t>(i);
    std::shuffle(one.begin(), one.end(), random);
    data.insert(data.end(), one.begin(), one.end());
  }
  return data;
}

TEST(PayloadDecoder, MatchesTheTreeWalkOnRandomTreesAndRandomBits) {
  // Count ranges from all-ties to wrapping sums; bits are arbitrary, as in any damaged file.
  constexpr std::int32_t kMaxCounts[] = {1, 2, 3, 1000, INT32_MAX};
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    FrequencyTable frequencies{};
    const std::int32_t maxCount = kMaxCounts[random() % std::size(kMaxCounts)];
    const std::size_t symbols = 1 + random() % 256;
    for (std::size_t i = 0; i < symbols; ++i) {
      frequencies[random() % 256] =
          1 + static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(maxCount));
    }
    NodeArena arena;
    const TreeNode* root = buildTree(frequencies, arena);
    ASSERT_NE(root, nullptr);

    std::vector<std::uint8_t> payload(1 + random() % 4000);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
    const auto bitCount = static_cast<std::int32_t>(1 + random() % (8 * payload.size()));
    ASSERT_TRUE(
        sameBytes(fastDecode(root, payload, bitCount), referenceDecode(root, payload, bitCount)));
  }
}

TEST(PayloadDecoder, MatchesTheTreeWalkOnLongRandomPayloads) {
  // Long enough for the two-lane blocks, whose second lane starts at a guessed position: random
  // bits and random trees resynchronise at random places or not at all.
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    FrequencyTable frequencies{};
    const std::size_t symbols = 2 + random() % 255;
    for (std::size_t i = 0; i < symbols; ++i) {
      frequencies[random() % 256] =
          1 + static_cast<std::int32_t>(random() % (seed % 3 == 0 ? 2 : 5000));
    }
    NodeArena arena;
    const TreeNode* root = buildTree(frequencies, arena);
    std::vector<std::uint8_t> payload(40000 + random() % 120000);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
    const auto bitCount = static_cast<std::int32_t>(8 * payload.size() - random() % 8);
    ASSERT_TRUE(
        sameBytes(fastDecode(root, payload, bitCount), referenceDecode(root, payload, bitCount)));
  }
}

TEST(PayloadDecoder, RestoresCodesWhoseLanesAreInStepOrNever) {
  // Equal 3-bit codes put every lane in step from its start; the other code never falls into
  // step, so every lane after the first is dropped until lanes are given up.
  for (const FrequencyTable& counts : {testing::threeBitCounts(), testing::neverInStepCounts()}) {
    const std::vector<std::uint8_t> data = testing::randomSymbols(counts, 400000, 5);
    const Encoded encoded = encodeOrFail(counts, data);
    NodeArena arena;
    EXPECT_TRUE(
        sameBytes(fastDecode(buildTree(counts, arena), encoded.payload, encoded.bitCount), data));
  }
}

TEST(PayloadDecoder, RestoresCodesOf255Bits) {
  // 256 counts of INT32_MAX wrap into a caterpillar 255 levels deep.
  const FrequencyTable frequencies = allCounts(INT32_MAX);
  const std::vector<std::uint8_t> data = everySymbol(12, 7);
  const Encoded encoded = encodeOrFail(frequencies, data);
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  int longest = 0;
  for (const tools::Code& code : tools::codesFromTree(root))
    longest = std::max(longest, code.length);
  EXPECT_EQ(longest, 255);
  EXPECT_TRUE(sameBytes(fastDecode(root, encoded.payload, encoded.bitCount), data));
}

struct CutOffCase {
  const char* name;
  FrequencyTable frequencies;
  std::vector<std::uint8_t> data;
};

void PrintTo(const CutOffCase& value, std::ostream* out) {
  *out << value.name << " (" << value.data.size() << " bytes)";
}

std::vector<CutOffCase> cutOffCases() {
  FrequencyTable single{};
  single['A'] = 4;
  std::vector<std::uint8_t> fibonacciData =
      tools::makeCorpus(tools::CorpusKind::fibonacciWeights, 200, 3);
  for (std::uint8_t symbol = 0; symbol < 40; symbol += 3) fibonacciData.push_back(symbol);
  const auto text = tools::makeCorpus(tools::CorpusKind::englishText, 400, 5);
  const auto geometric = tools::makeCorpus(tools::CorpusKind::skewedGeometric, 900, 6);
  std::vector<std::uint8_t> deepest;  // the four deepest codes of the caterpillar
  {
    NodeArena arena;
    const tools::CodeTable codes = tools::codesFromTree(buildTree(allCounts(INT32_MAX), arena));
    std::vector<std::pair<int, std::uint8_t>> byLength;
    for (std::size_t symbol = 0; symbol < kSymbolCount; ++symbol) {
      byLength.emplace_back(codes[symbol].length, static_cast<std::uint8_t>(symbol));
    }
    std::sort(byLength.rbegin(), byLength.rend());
    for (std::size_t i = 0; i < 4; ++i) deepest.push_back(byLength[i].second);
  }
  return {
      {"englishText", tools::countBytes(text), text},
      {"skewedGeometric", tools::countBytes(geometric), geometric},
      {"fibonacciWeights", tools::fibonacciCounts(), fibonacciData},
      {"uniformEightBits", allCounts(1), everySymbol(1, 9)},
      {"longestCodes", allCounts(INT32_MAX), deepest},
      {"singleSymbol", single, std::vector<std::uint8_t>(300, 'A')},
  };
}

class EveryCutOff : public ::testing::TestWithParam<CutOffCase> {};

TEST_P(EveryCutOff, MatchesTheTreeWalk) {
  Encoded encoded = encodeOrFail(GetParam().frequencies, GetParam().data);
  // Fill the padding of the last byte with ones, so a decoder that reads beyond bitCount shows.
  const int padding = static_cast<int>(8 * encoded.payload.size()) - encoded.bitCount;
  encoded.payload.back() |= static_cast<std::uint8_t>((1U << padding) - 1);
  NodeArena arena;
  const TreeNode* root = buildTree(encoded.frequencies, arena);
  EXPECT_TRUE(sameBytes(fastDecode(root, encoded.payload, encoded.bitCount), GetParam().data));
  const auto totalBits = static_cast<std::int32_t>(8 * encoded.payload.size());
  for (std::int32_t bitCount = 1; bitCount <= totalBits; ++bitCount) {
    const std::span<const std::uint8_t> payload(encoded.payload.data(),
                                                static_cast<std::size_t>(bitCount + 7) / 8);
    ASSERT_TRUE(
        sameBytes(fastDecode(root, payload, bitCount), referenceDecode(root, payload, bitCount)))
        << "bitCount " << bitCount;
  }
}

INSTANTIATE_TEST_SUITE_P(SmallFiles, EveryCutOff, ::testing::ValuesIn(cutOffCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class CorpusKinds : public ::testing::TestWithParam<tools::CorpusKind> {};

TEST_P(CorpusKinds, MatchesTheTreeWalkAndTheOriginal) {
  const auto data = tools::makeCorpus(GetParam(), 300000, 11);
  const Encoded encoded = encodeOrFail(tools::countBytes(data), data);
  NodeArena arena;
  const TreeNode* root = buildTree(encoded.frequencies, arena);
  const auto fast = fastDecode(root, encoded.payload, encoded.bitCount);
  EXPECT_TRUE(sameBytes(fast, data));
  EXPECT_TRUE(sameBytes(fast, referenceDecode(root, encoded.payload, encoded.bitCount)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, CorpusKinds, ::testing::ValuesIn(tools::kCorpusKinds),
                         [](const auto& info) {
                           return std::string(tools::corpusName(info.param));
                         });

// Through real files the source is read in blocks, so codes straddle block boundaries and the
// decoder's view of the input is refilled mid-stream.
class ThroughFiles : public ::testing::TestWithParam<CutOffCase> {};

TEST_P(ThroughFiles, RestoresTheOriginal) {
  const auto file = tools::encodeWithTable(GetParam().frequencies, GetParam().data);
  ASSERT_TRUE(file.has_value());
  char folder[] = "/tmp/ravmolt-payload-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string source = std::string(folder) + "/in.rvm";
  const std::string destination = std::string(folder) + "/out";
  {
    std::ofstream out(source, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file->data()),
              static_cast<std::streamsize>(file->size()));
  }
  EXPECT_EQ(decodeFile(source.c_str(), destination.c_str()), DecodeStatus::success);
  std::ifstream in(destination, std::ios::binary);
  const std::vector<std::uint8_t> restored{std::istreambuf_iterator<char>(in), {}};
  EXPECT_TRUE(sameBytes(restored, GetParam().data));
  std::remove(source.c_str());
  std::remove(destination.c_str());
  ::rmdir(folder);
}

std::vector<CutOffCase> largeFileCases() {
  std::vector<CutOffCase> cases;
  for (const auto kind : {tools::CorpusKind::englishText, tools::CorpusKind::randomBytes,
                          tools::CorpusKind::skewedGeometric}) {
    auto data = tools::makeCorpus(kind, 700000, 13);
    cases.push_back({tools::corpusName(kind).data(), tools::countBytes(data), std::move(data)});
  }
  auto fibonacci = tools::makeCorpus(tools::CorpusKind::fibonacciWeights, 700000, 14);
  for (std::uint8_t symbol = 0; symbol < 40; ++symbol) fibonacci.push_back(symbol);
  cases.push_back({"fibonacciAllSymbols", tools::fibonacciCounts(), std::move(fibonacci)});
  cases.push_back({"longestCodes", allCounts(INT32_MAX), everySymbol(40, 15)});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(LargeFiles, ThroughFiles, ::testing::ValuesIn(largeFileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The codes of every leaf as '0'/'1' text, the filler leaf included, and the path of every node.
void collectPaths(const TreeNode* node, const std::string& path,
                  std::map<const TreeNode*, std::string>& paths) {
  paths[node] = path;
  if (isLeaf(node)) return;
  collectPaths(node->left, path + '0', paths);
  collectPaths(node->right, path + '1', paths);
}

// Checks each entry against the leaf codes: its symbols' codes, after the path of the table's
// start node, spell the looked-up bits up to the consumed count; after them no further code fits
// in the bits left (unless the entry is full); and an entry without symbols names the table of
// the inner node those bits lead to.
void expectEntriesMatchCodes(const FrequencyTable& frequencies) {
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
      if (bits.substr(0, code.first.size()) == code.first && code.first.size() <= bits.size()) {
        return &code;
      }
    }
    return nullptr;
  };

  DecodeTable table;
  table.build(root);
  for (std::size_t t = 0; t < table.tableCount(); ++t) {
    const std::string startPath = paths.at(table.start(t));
    ASSERT_FALSE(isLeaf(table.start(t)));
    if (t > 0) {
      EXPECT_EQ(startPath.size() % DecodeTable::kTableBits, 0U);
    }
    // Below the root a table looks at just enough bits for its deepest leaf.
    int height = 0;
    for (const auto& code : leafCodes) {
      if (code.first.starts_with(startPath)) {
        height = std::max(height, static_cast<int>(code.first.size() - startPath.size()));
      }
    }
    EXPECT_EQ(table.width(t),
              t == 0 ? DecodeTable::kTableBits : std::min(height, DecodeTable::kTableBits));
    for (std::size_t index = 0; index < (std::size_t{1} << table.width(t)); ++index) {
      std::string looked;
      for (int k = table.width(t) - 1; k >= 0; --k) looked += ((index >> k) & 1U) ? '1' : '0';
      const DecodeEntry entry = table.table(t)[index];
      const unsigned count = DecodeTable::symbolCountOf(entry);
      std::string bits = startPath + looked;
      std::size_t at = 0;
      for (unsigned s = 0; s < count; ++s) {
        const auto* code = leadingCode(std::string_view(bits).substr(at));
        ASSERT_NE(code, nullptr) << "table " << t << " index " << index;
        EXPECT_EQ(code->second, DecodeTable::symbolOf(entry, s))
            << "table " << t << " index " << index;
        at += code->first.size();
      }
      if (count == 0) {
        EXPECT_EQ(DecodeTable::bitsOf(entry), 0U) << "a lookup that meets it must stay on it";
        EXPECT_EQ(leadingCode(bits), nullptr);
        const std::size_t next = DecodeTable::nextTableOf(entry);
        ASSERT_LT(next, table.tableCount());
        EXPECT_EQ(paths.at(table.start(next)), bits) << "table " << t << " index " << index;
        continue;
      }
      EXPECT_EQ(at - startPath.size(), DecodeTable::bitsOf(entry))
          << "table " << t << " index " << index;
      if (count < DecodeTable::kMaxSymbols) {
        EXPECT_EQ(leadingCode(std::string_view(bits).substr(at)), nullptr)
            << "table " << t << " index " << index << ": a further code fits";
      }
    }
  }
  // The first code of each root index alone, or 0 when that code is longer than the index.
  for (std::size_t index = 0; index < DecodeTable::kTableSize; ++index) {
    std::string looked;
    for (int k = DecodeTable::kTableBits - 1; k >= 0; --k)
      looked += ((index >> k) & 1U) ? '1' : '0';
    const auto* code = leadingCode(looked);
    const DecodeTable::FirstCode expected =
        code == nullptr
            ? 0
            : static_cast<DecodeTable::FirstCode>((code->first.size() << 8) | code->second);
    ASSERT_EQ(table.firstCodes()[index], expected) << "index " << index;
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
    expectEntriesMatchCodes(frequencies);
  }
}

TEST(DecodeTable, BuildsOneTableForEachInnerNodeAtAWholeNumberOfTableWidths) {
  // The 255-deep caterpillar has one inner node at each depth 0..254.
  NodeArena arena;
  DecodeTable table;
  table.build(buildTree(allCounts(INT32_MAX), arena));
  EXPECT_EQ(table.tableCount(), 1 + 254 / DecodeTable::kTableBits);
}

}  // namespace
}  // namespace ravmolt
