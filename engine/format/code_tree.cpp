// Node queue and tree construction; the step order here is part of the file format.
#include "engine/format/code_tree.h"

#include <cassert>

namespace ravmolt {

TreeNode* NodeArena::allocate() {
  assert(used_ < kCapacity && "a tree never has more than kCapacity nodes");
  TreeNode* node = &nodes_[used_++];
  *node = TreeNode{};
  return node;
}

TreeNode* NodeArena::makeLeaf(std::uint8_t symbol, std::int32_t weight) {
  TreeNode* node = allocate();
  node->weight = weight;
  node->symbol = symbol;
  return node;
}

TreeNode* NodeArena::makeInternal(TreeNode* left, TreeNode* right) {
  TreeNode* node = allocate();
  node->left = left;
  node->right = right;
  node->weight = static_cast<std::int32_t>(static_cast<std::uint32_t>(left->weight) +
                                           static_cast<std::uint32_t>(right->weight));
  node->symbol = kFillerSymbol;  // never read: only leaves carry symbols
  return node;
}

void NodeQueue::siftUp(std::size_t hole, TreeNode* node) {
  while (hole > 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!heavier(heap_[parent], node)) break;
    heap_[hole] = heap_[parent];
    hole = parent;
  }
  heap_[hole] = node;
}

void NodeQueue::push(TreeNode* node) {
  assert(size_ < heap_.size());
  ++size_;
  siftUp(size_ - 1, node);
}

TreeNode* NodeQueue::pop() {
  assert(size_ > 0);
  TreeNode* const top = heap_[0];
  TreeNode* const last = heap_[size_ - 1];
  heap_[size_ - 1] = top;
  const std::size_t length = size_ - 1;  // slots still in the heap

  // Walk the hole from the root to the bottom without looking at `last`, always following the
  // lighter child; on equal weights the right child is taken.
  std::size_t hole = 0;
  std::size_t child = 2;
  while (child < length) {
    if (heavier(heap_[child], heap_[child - 1])) --child;
    heap_[hole] = heap_[child];
    hole = child;
    child = 2 * child + 2;
  }
  if (child == length) {  // only a left child remains
    heap_[hole] = heap_[child - 1];
    hole = child - 1;
  }
  siftUp(hole, last);
  --size_;
  return top;
}

TreeNode* buildTree(const FrequencyTable& frequencies, NodeArena& arena) {
  NodeQueue queue;
  std::size_t leaves = 0;
  for (std::size_t symbol = 0; symbol < kSymbolCount; ++symbol) {
    if (frequencies[symbol] > 0) {
      queue.push(arena.makeLeaf(static_cast<std::uint8_t>(symbol), frequencies[symbol]));
      ++leaves;
    }
  }
  if (leaves == 0) return nullptr;
  if (leaves == 1) {
    // The lone symbol gets code 0; code 1 reaches the filler leaf.
    TreeNode* filler = arena.makeLeaf(kFillerSymbol, 0);
    TreeNode* only = queue.pop();
    return arena.makeInternal(only, filler);
  }
  for (;;) {
    TreeNode* first = queue.pop();
    if (queue.empty()) return first;
    TreeNode* second = queue.pop();
    queue.push(arena.makeInternal(first, second));
  }
}

}  // namespace ravmolt
