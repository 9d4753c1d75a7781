// The code tree, rebuilt from the byte counts exactly as the compressor built it. Files carry no
// tree, only counts, so every tie between equal weights must be broken the writer's way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/format/format.h"

namespace ravmolt {

// A leaf has neither child; every other node has both. `symbol` is read only on leaves.
struct TreeNode {
  TreeNode* left = nullptr;
  TreeNode* right = nullptr;
  std::int32_t weight = 0;
  std::uint8_t symbol = 0;
};

inline bool isLeaf(const TreeNode* node) { return node->left == nullptr && node->right == nullptr; }

// True when x weighs strictly more than y. Equal weights are never heavier; that decides ties.
inline bool heavier(const TreeNode* x, const TreeNode* y) { return x->weight > y->weight; }

// Owns every node of one tree. Nodes are handed out from fixed storage and live as long as the
// arena, so the tree needs no frees and the decode loop never allocates.
class NodeArena {
 public:
  // 256 leaves and 255 pairings; a one-symbol tree needs only a leaf, the filler and a root.
  static constexpr std::size_t kCapacity = 2 * kSymbolCount - 1;

  TreeNode* makeLeaf(std::uint8_t symbol, std::int32_t weight);
  // The weight of an internal node wraps in 32-bit two's complement, as the writer's did.
  TreeNode* makeInternal(TreeNode* left, TreeNode* right);
  std::size_t size() const { return used_; }

 private:
  TreeNode* allocate();

  std::array<TreeNode, kCapacity> nodes_{};
  std::size_t used_ = 0;
};

// A binary min-heap of nodes by weight with the lightest at the front.
//
// Do not replace with std::priority_queue or a textbook sift-down: `pop` carries its hole all the
// way to the bottom before placing the last node, and that decides how equal weights pair up.
// Another tie-break builds another tree, and another tree decodes stored files wrongly.
class NodeQueue {
 public:
  void push(TreeNode* node);  // the queue holds at most kSymbolCount nodes
  TreeNode* pop();            // the queue must not be empty
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

 private:
  // Moves parents down into `hole` while they are heavier than `node`, then places it.
  void siftUp(std::size_t hole, TreeNode* node);

  // A tree never has more than kSymbolCount leaves waiting, and pairing only shrinks the queue,
  // so fixed storage serves: building a tree allocates nothing.
  std::array<TreeNode*, kSymbolCount> heap_{};
  std::size_t size_ = 0;
};

// Builds the code tree of `frequencies` in `arena`: a leaf per positive count, inserted in
// byte-value order, then the two lightest nodes paired (first removed goes left) until one remains.
// A single leaf gets a filler leaf for kFillerSymbol as its right sibling. Returns nullptr when no
// count is positive.
TreeNode* buildTree(const FrequencyTable& frequencies, NodeArena& arena);

}  // namespace ravmolt
