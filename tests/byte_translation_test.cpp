// The byte translation used when every code is 8 bits: the table against the tree's codes, and
// the translation of runs of every length and alignment, which the wide path takes 64 bytes at a
// time and the byte path finishes.
#include "engine/fast/byte_translation.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "tools/encoder.h"

namespace ravmolt {
namespace {

TEST(ByteTranslation, MapsEveryByteToTheSymbolOfItsCode) {
  // Flat counts with a few ties broken differently: all 256 codes 8 bits, in a shuffled order.
  FrequencyTable counts{};
  std::mt19937 random(41);
  for (auto& count : counts) count = 1000 + static_cast<std::int32_t>(random() % 900);
  NodeArena arena;
  const TreeNode* root = buildTree(counts, arena);
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
  FrequencyTable counts{};
  std::mt19937 random(42);
  for (auto& count : counts) count = 500 + static_cast<std::int32_t>(random() % 400);
  NodeArena arena;
  const ByteTranslation translation(buildTree(counts, arena));
  std::vector<std::uint8_t> in(1024);
  for (auto& byte : in) byte = static_cast<std::uint8_t>(random());
  for (std::size_t offset = 0; offset < 3; ++offset) {
    for (std::size_t count = 0; count <= 300; ++count) {
      std::vector<std::uint8_t> out(count + 2 * 64, 0xEE);
      translation.apply(in.data() + offset, out.data() + 1 + offset, count);
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

}  // namespace
}  // namespace ravmolt
