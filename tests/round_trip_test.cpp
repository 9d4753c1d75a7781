// Seeded random round trips through the encoder and the in-memory decoder. Every failure names
// its seed; set RAVMOLT_SEED to that value to repeat the run exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>

#include "tests/decode_support.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using ::ravmolt::testing::decodeInMemory;
using ::ravmolt::testing::withBitCount;
using tools::TableOrder;
using Bytes = std::vector<std::uint8_t>;

std::uint64_t runSeed() {
  static const std::uint64_t seed = []() -> std::uint64_t {
    if (const char* text = std::getenv("RAVMOLT_SEED")) return std::strtoull(text, nullptr, 10);
    return (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
  }();
  return seed;
}

// Each test draws from its own generator, seeded from the run's seed and the test's name, so one
// test can be repeated alone with --gtest_filter.
class RoundTrip : public ::testing::Test {
 protected:
  RoundTrip()
      : trace_(__FILE__, __LINE__, "RAVMOLT_SEED=" + std::to_string(runSeed())),
        random_(runSeed() ^ std::hash<std::string>{}(
                                ::testing::UnitTest::GetInstance()->current_test_info()->name())) {}

  std::size_t uniform(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }

  // Draws `length` bytes from `symbols` with random, often very uneven, weights.
  Bytes draw(const Bytes& symbols, std::size_t length) {
    std::vector<double> weights(symbols.size());
    const double skew = std::uniform_real_distribution<double>(0.0, 3.0)(random_);
    for (double& w : weights)
      w = std::pow(std::uniform_real_distribution<double>(0.01, 1)(random_), skew * 4);
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    Bytes data(length);
    for (std::uint8_t& byte : data) byte = symbols[pick(random_)];
    return data;
  }

  // `count` distinct byte values in random order.
  Bytes alphabet(std::size_t count) {
    Bytes all(kSymbolCount);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), random_);
    all.resize(count);
    return all;
  }

  ::testing::ScopedTrace trace_;
  std::mt19937_64 random_;
};

// Encodes `data` with `table` (or its own counts) in both table orders and decodes it back.
void expectRoundTrip(const Bytes& data, const FrequencyTable* table = nullptr) {
  for (const TableOrder order : {TableOrder::ascending, TableOrder::descending}) {
    SCOPED_TRACE(order == TableOrder::ascending ? "ascending table" : "descending table");
    const auto encoded =
        table != nullptr ? tools::encodeWithTable(*table, data, order) : tools::encode(data, order);
    ASSERT_TRUE(encoded.has_value());
    const checks::Outcome decoded = decodeInMemory(*encoded);
    ASSERT_EQ(decoded.status, DecodeStatus::success);
    ASSERT_EQ(decoded.output.size(), data.size());
    const auto mismatch = std::mismatch(data.begin(), data.end(), decoded.output.begin());
    EXPECT_TRUE(mismatch.first == data.end())
        << "first wrong byte at " << (mismatch.first - data.begin()) << " of " << data.size();
  }
}

int longestCode(const FrequencyTable& table) {
  NodeArena arena;
  int longest = 0;
  for (const tools::Code& code : tools::codesFromTree(buildTree(table, arena))) {
    longest = std::max(longest, code.length);
  }
  return longest;
}

TEST_F(RoundTrip, RandomAlphabetsAndSkews) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Bytes symbols = alphabet(uniform(1, kSymbolCount));
    expectRoundTrip(draw(symbols, uniform(0, round % 4 == 0 ? 60000 : 2000)));
  }
}

TEST_F(RoundTrip, ManyEqualCounts) {
  // Every symbol exactly as often as every other: the tree is decided by tie-breaking alone.
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Bytes symbols = alphabet(uniform(2, kSymbolCount));
    Bytes data;
    const std::size_t each = uniform(1, 20);
    for (std::uint8_t symbol : symbols) data.insert(data.end(), each, symbol);
    std::shuffle(data.begin(), data.end(), random_);
    expectRoundTrip(data);
  }
}

TEST_F(RoundTrip, SingleSymbol) {
  // 0x20 is also the filler leaf's symbol, and must still decode as itself.
  for (const std::uint8_t symbol :
       {std::uint8_t{0x00}, std::uint8_t{0x20}, std::uint8_t{0x7F}, std::uint8_t{0x80},
        std::uint8_t{0xFF}, static_cast<std::uint8_t>(uniform(0, 255))}) {
    SCOPED_TRACE("symbol " + std::to_string(symbol));
    expectRoundTrip(Bytes(uniform(1, 3000), symbol));
  }
}

TEST_F(RoundTrip, AllByteValues) {
  Bytes symbols = alphabet(kSymbolCount);
  Bytes data = draw(symbols, 20000);
  data.insert(data.end(), symbols.begin(), symbols.end());  // every value at least once
  std::shuffle(data.begin(), data.end(), random_);
  expectRoundTrip(data);
}

// Tables whose trees have codes longer than 64 bits.
struct DeepTable {
  const char* name;
  FrequencyTable counts;
};

std::vector<DeepTable> deepTables() {
  DeepTable wrapped{"all256AtInt32Max", {}};  // weights wrap on every pairing: 255 levels
  wrapped.counts.fill(INT32_MAX);
  DeepTable capped{"fibonacciCappedAtInt32Max", {}};
  DeepTable fibWrapped{"fibonacciWrappingIn32Bits", {}};
  std::uint64_t a = 1;
  std::uint64_t b = 1;
  std::uint32_t wa = 1;
  std::uint32_t wb = 1;
  for (std::size_t s = 0; s < kSymbolCount; ++s) {
    if (s < 100)
      capped.counts[s] = static_cast<std::int32_t>(std::min<std::uint64_t>(a, INT32_MAX));
    fibWrapped.counts[s] = static_cast<std::int32_t>(wa);  // negative ones get no code
    const std::uint64_t next = std::min<std::uint64_t>(a + b, std::uint64_t{1} << 40);
    a = b;
    b = next;
    const std::uint32_t wnext = wa + wb;
    wa = wb;
    wb = wnext;
  }
  return {wrapped, capped, fibWrapped};
}

TEST_F(RoundTrip, CodesLongerThan64Bits) {
  for (const DeepTable& table : deepTables()) {
    SCOPED_TRACE(table.name);
    const int longest = longestCode(table.counts);
    ASSERT_GT(longest, 64) << "the table no longer builds the deep tree this test is about";
    Bytes symbols;
    for (std::size_t s = 0; s < kSymbolCount; ++s) {
      if (table.counts[s] > 0) symbols.push_back(static_cast<std::uint8_t>(s));
    }
    // Uniform use of the symbols puts most of the data on the long codes.
    Bytes data(3000);
    for (std::uint8_t& byte : data) byte = symbols[uniform(0, symbols.size() - 1)];
    expectRoundTrip(data, &table.counts);
  }
}

// The symbols restored from the first `bits` bits: those whose codes end at or before that bit.
Bytes expectedPrefix(const Bytes& data, const tools::CodeTable& codes, std::int64_t bits) {
  Bytes restored;
  std::int64_t end = 0;
  for (std::uint8_t byte : data) {
    end += codes[byte].length;
    if (end > bits) break;
    restored.push_back(byte);
  }
  return restored;
}

TEST_F(RoundTrip, EveryBitCountCutOffRestoresTheCompleteCodesOnly) {
  std::vector<FrequencyTable> tables;
  for (const DeepTable& table : deepTables()) tables.push_back(table.counts);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool deep = round % 3 == 2;
    const FrequencyTable* table =
        deep ? &tables[static_cast<std::size_t>(round / 3) % tables.size()] : nullptr;
    Bytes data;
    if (deep) {
      for (std::size_t n = uniform(1, 12); n > 0; --n) {
        std::uint8_t byte;
        do byte = static_cast<std::uint8_t>(uniform(0, 255));
        while ((*table)[byte] <= 0);
        data.push_back(byte);
      }
    } else {
      data = draw(alphabet(uniform(1, 12)), uniform(1, 40));
    }
    const FrequencyTable counts = deep ? *table : tools::countBytes(data);
    NodeArena arena;
    const tools::CodeTable codes = tools::codesFromTree(buildTree(counts, arena));
    const auto encoded = tools::encodeWithTable(counts, data);
    ASSERT_TRUE(encoded.has_value());
    const std::int32_t bitCount = parseHeader(encoded->data()).bitCount;

    for (std::int32_t cut = -1; cut <= bitCount; ++cut) {
      const checks::Outcome decoded = decodeInMemory(withBitCount(*encoded, cut));
      ASSERT_EQ(decoded.status, DecodeStatus::success) << "bitCount " << cut;
      ASSERT_EQ(decoded.output, expectedPrefix(data, codes, cut)) << "bitCount " << cut;
    }
  }
}

}  // namespace
}  // namespace ravmolt
