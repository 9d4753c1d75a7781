// The node queue and tree construction, pinned by codes that stored files depend on.
#include "engine/format/code_tree.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/encoder.h"

namespace ravmolt {
namespace {

std::string codeText(const tools::Code& code) {
  std::string text;
  for (int i = 0; i < code.length; ++i) {
    text += ((code.words[static_cast<std::size_t>(i / 64)] >> (63 - i % 64)) & 1U) ? '1' : '0';
  }
  return text;
}

struct KnownCodes {
  const char* name;
  std::vector<std::pair<std::uint8_t, std::int32_t>> counts;
  std::vector<std::pair<std::uint8_t, std::string>> codes;
};

class BuildTreeCodes : public ::testing::TestWithParam<KnownCodes> {};

TEST_P(BuildTreeCodes, GivesTheWritersCodes) {
  FrequencyTable frequencies{};
  for (auto [symbol, count] : GetParam().counts) frequencies[symbol] = count;
  NodeArena arena;
  const tools::CodeTable codes = tools::codesFromTree(buildTree(frequencies, arena));
  for (const auto& [symbol, expected] : GetParam().codes) {
    EXPECT_EQ(codeText(codes[symbol]), expected) << "symbol " << int{symbol};
  }
}

INSTANTIATE_TEST_SUITE_P(
    Known, BuildTreeCodes,
    ::testing::Values(
        // A textbook sift-down gives a=0 b=10 r=110 c=1110 d=1111 here instead.
        KnownCodes{"abracadabra",
                   {{'a', 5}, {'b', 2}, {'c', 1}, {'d', 1}, {'r', 2}},
                   {{'a', "0"}, {'b', "110"}, {'r', "111"}, {'c', "100"}, {'d', "101"}}},
        // First-in-first-out pairing would swap the codes of b and c.
        KnownCodes{"fourEqual",
                   {{'a', 1}, {'b', 1}, {'c', 1}, {'d', 1}},
                   {{'a', "00"}, {'b', "10"}, {'c', "01"}, {'d', "11"}}},
        KnownCodes{"singleSymbol", {{'A', 4}}, {{'A', "0"}}},
        KnownCodes{"nonPositiveCountsGetNoLeaf",
                   {{'a', 3}, {'b', 0}, {'c', -7}, {'d', INT32_MIN}, {'e', 1}},
                   {{'a', "1"}, {'e', "0"}, {'b', ""}, {'c', ""}, {'d', ""}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildTree, SingleSymbolGetsFillerSpaceOnTheRight) {
  FrequencyTable frequencies{};
  frequencies[0x41] = 4;
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(isLeaf(root->left));
  ASSERT_TRUE(isLeaf(root->right));
  EXPECT_EQ(root->left->symbol, 0x41);
  EXPECT_EQ(root->right->symbol, 0x20);  // a space, as stored files have always had it
  EXPECT_EQ(root->right->weight, 0);
}

TEST(BuildTree, NoPositiveCountHasNoRoot) {
  FrequencyTable frequencies{};
  frequencies[7] = -1;
  NodeArena arena;
  EXPECT_EQ(buildTree(frequencies, arena), nullptr);
  EXPECT_EQ(arena.size(), 0u);
}

TEST(BuildTree, WrappingWeightsMakeTheDeepestTree) {
  // 256 counts of INT32_MAX wrap on every pairing; the result is a caterpillar 255 levels deep.
  FrequencyTable frequencies;
  frequencies.fill(INT32_MAX);
  NodeArena arena;
  const tools::CodeTable codes = tools::codesFromTree(buildTree(frequencies, arena));
  int longest = 0;
  for (const tools::Code& code : codes) longest = std::max(longest, code.length);
  EXPECT_EQ(longest, 255);
  EXPECT_EQ(arena.size(), NodeArena::kCapacity);
}

TEST(NodeQueue, PopsInWeightOrderAndEmpties) {
  NodeArena arena;
  NodeQueue queue;
  const std::int32_t weights[] = {5, -3, 9, 0, 5, INT32_MIN, 2, INT32_MAX};
  for (std::int32_t w : weights) queue.push(arena.makeLeaf(0, w));
  std::vector<std::int32_t> popped;
  while (!queue.empty()) popped.push_back(queue.pop()->weight);
  EXPECT_EQ(popped, (std::vector<std::int32_t>{INT32_MIN, -3, 0, 2, 5, 5, 9, INT32_MAX}));
}

TEST(NodeQueue, EqualWeightsLeaveInTheHeapsOrderNotInsertionOrder) {
  // The hole carried to the bottom decides which of equal nodes comes out next.
  NodeArena arena;
  NodeQueue queue;
  for (std::uint8_t symbol : {'a', 'b', 'c', 'd'}) queue.push(arena.makeLeaf(symbol, 1));
  std::string order;
  while (!queue.empty()) order += static_cast<char>(queue.pop()->symbol);
  EXPECT_EQ(order, "acbd");  // first-in-first-out would give "abcd"
}

TEST(NodeArena, InternalWeightWrapsInTwosComplement) {
  NodeArena arena;
  const TreeNode* node = arena.makeInternal(arena.makeLeaf(1, INT32_MAX), arena.makeLeaf(2, 2));
  EXPECT_EQ(node->weight, INT32_MIN + 1);
}

}  // namespace
}  // namespace ravmolt
