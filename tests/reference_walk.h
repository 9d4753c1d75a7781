// What the fast decoders are held to: the payload walked one tree step per bit, and a comparison
// that names the first differing byte rather than dumping two long byte arrays.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/format/bit_reader.h"
#include "engine/decompressor.h"

namespace ravmolt::testing {

// A sink that appends every block to the std::vector<std::uint8_t> in `context`.
inline bool appendTo(void* context, const std::uint8_t* data, std::size_t size) {
  auto& out = *static_cast<std::vector<std::uint8_t>*>(context);
  out.insert(out.end(), data, data + size);
  return true;
}

// `bitCount` bits of `payload` decoded by walkTree.
inline std::vector<std::uint8_t> referenceDecode(const TreeNode* root,
                                                 std::span<const std::uint8_t> payload,
                                                 std::int32_t bitCount) {
  std::vector<std::uint8_t> out;
  DestinationStream destination(appendTo, &out);
  SourceStream source(payload);
  BitReader bits(source);
  EXPECT_EQ(walkTree(root, bits, bitCount, destination), DecodeStatus::success);
  destination.flush();
  return out;
}

inline ::testing::AssertionResult sameBytes(const std::vector<std::uint8_t>& got,
                                            const std::vector<std::uint8_t>& expected) {
  const std::size_t common = std::min(got.size(), expected.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (got[i] != expected[i]) {
      return ::testing::AssertionFailure()
             << "byte " << i << " is " << int{got[i]} << ", expected " << int{expected[i]};
    }
  }
  if (got.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << got.size() << " bytes decoded, expected " << expected.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace ravmolt::testing
