// ravmolt-plain source destination: the plain design, kept only to measure the fast one against.
// One std::ifstream::get per payload byte, one tree step per bit, one std::ofstream::put per
// restored byte. It trusts its input (no checks beyond what the streams report).
#include <cstdio>
#include <fstream>

#include "engine/format/code_tree.h"
#include "engine/format/format.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ravmolt-plain source destination\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  if (!in || !out) return 1;

  char header[ravmolt::kHeaderSize];
  in.read(header, sizeof header);
  const ravmolt::FileHeader fields = ravmolt::parseHeader(reinterpret_cast<std::uint8_t*>(header));
  ravmolt::FrequencyTable frequencies{};
  for (int offset = 0; offset < fields.tableSize;
       offset += static_cast<int>(ravmolt::kTableEntrySize)) {
    char entry[ravmolt::kTableEntrySize];
    in.read(entry, sizeof entry);
    frequencies[static_cast<std::uint8_t>(entry[0])] =
        ravmolt::readLittleEndian<std::int32_t>(reinterpret_cast<std::uint8_t*>(entry + 1));
  }
  if (!in || fields.bitCount <= 0) return in ? 0 : 1;
  ravmolt::NodeArena arena;
  const ravmolt::TreeNode* root = ravmolt::buildTree(frequencies, arena);
  if (root == nullptr) return 1;

  const ravmolt::TreeNode* node = root;
  int byte = 0;
  int bit = -1;
  for (std::int32_t taken = 0; taken < fields.bitCount; ++taken) {
    if (bit < 0) {
      byte = in.get();
      bit = 7;
    }
    node = ((byte >> bit--) & 1) != 0 ? node->right : node->left;
    if (ravmolt::isLeaf(node)) {
      out.put(static_cast<char>(node->symbol));
      node = root;
    }
  }
  out.close();
  return out ? 0 : 1;
}
