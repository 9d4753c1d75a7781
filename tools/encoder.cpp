#include "tools/encoder.h"

#include <algorithm>
#include <climits>

namespace ravmolt::tools {
namespace {

// Real leaves have positive weights; the filler leaf of a one-symbol tree is the only one that
// weighs 0, and it must not take the code of a real space.
void collectCodes(const TreeNode* node, Code path, CodeTable& codes) {
  if (isLeaf(node)) {
    if (node->weight > 0) codes[node->symbol] = path;
    return;
  }
  Code right = path;
  right.words[static_cast<std::size_t>(path.length / 64)] |= std::uint64_t{1}
                                                             << (63 - path.length % 64);
  ++path.length;
  ++right.length;
  collectCodes(node->left, path, codes);
  collectCodes(node->right, right, codes);
}

// Packs bits MSB-first into a byte vector, up to 32 at a time through a word.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  // Appends the top `count` bits of `bits` (1 <= count <= 64).
  void put(std::uint64_t bits, int count) {
    while (count > 0) {
      const int take = std::min(count, 32);
      // The word holds fewer than 8 pending bits, so these fit below its top.
      pending_ = pending_ << take | bits >> (64 - take);
      filled_ += take;
      while (filled_ >= 8) {
        filled_ -= 8;
        out_.push_back(static_cast<std::uint8_t>(pending_ >> filled_));
      }
      bits <<= take;
      count -= take;
    }
  }
  void put(const Code& code) {
    for (int done = 0; done < code.length; done += 64) {
      put(code.words[static_cast<std::size_t>(done / 64)], std::min(64, code.length - done));
    }
  }
  // Pads the last byte with zero bits.
  void finish() {
    if (filled_ > 0) out_.push_back(static_cast<std::uint8_t>(pending_ << (8 - filled_)));
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t pending_ = 0;  // the last filled_ bits are not yet in out_
  int filled_ = 0;
};

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

CodeTable codesFromTree(const TreeNode* root) {
  CodeTable codes{};
  if (root != nullptr && !isLeaf(root)) collectCodes(root, Code{}, codes);
  return codes;
}

FrequencyTable countBytes(std::span<const std::uint8_t> data) {
  FrequencyTable counts{};
  for (std::uint8_t byte : data) {
    counts[byte] = static_cast<std::int32_t>(static_cast<std::uint32_t>(counts[byte]) + 1);
  }
  return counts;
}

std::optional<std::vector<std::uint8_t>> encodeWithTable(const FrequencyTable& frequencies,
                                                         std::span<const std::uint8_t> data,
                                                         TableOrder order) {
  NodeArena arena;
  const CodeTable codes = codesFromTree(buildTree(frequencies, arena));
  std::uint64_t bitCount = 0;
  for (std::uint8_t byte : data) {
    if (codes[byte].length == 0) return std::nullopt;
    bitCount += static_cast<std::uint64_t>(codes[byte].length);
  }
  if (bitCount > INT32_MAX) return std::nullopt;

  std::vector<std::uint8_t> table;
  for (std::size_t i = 0; i < kSymbolCount; ++i) {
    const std::size_t symbol = order == TableOrder::ascending ? i : kSymbolCount - 1 - i;
    if (frequencies[symbol] == 0) continue;
    table.push_back(static_cast<std::uint8_t>(symbol));
    appendLittleEndian(table, static_cast<std::uint32_t>(frequencies[symbol]), 4);
  }
  const auto tableSize = static_cast<std::int16_t>(table.size());
  const auto bits = static_cast<std::int32_t>(bitCount);

  std::vector<std::uint8_t> file;
  file.reserve(kHeaderSize + table.size() + bitCount / 8 + 1);
  file.push_back(checksumFor(bits, tableSize));
  appendLittleEndian(file, static_cast<std::uint32_t>(bits), 4);
  appendLittleEndian(file, static_cast<std::uint16_t>(tableSize), 2);
  file.insert(file.end(), table.begin(), table.end());
  BitWriter writer(file);
  for (std::uint8_t byte : data) writer.put(codes[byte]);
  writer.finish();
  return file;
}

std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> data,
                                                TableOrder order) {
  return encodeWithTable(countBytes(data), data, order);
}

}  // namespace ravmolt::tools
