// In-process helpers shared by the decoder tests: compressed files held in memory with what the
// payload drivers see of them, the reference walk over a raw payload, the whole decoder run in
// memory, and the judge's verdicts as assertions.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/decompressor.h"
#include "engine/fast/decode_steps.h"
#include "engine/fast/lanes.h"
#include "engine/format/reference_walk.h"
#include "fuzz/decode_judge.h"
#include "fuzz/loop_variants.h"
#include "fuzz/reference_decode.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

namespace ravmolt::testing {

using Bytes = std::vector<std::uint8_t>;

// A compressed file in memory, its counts, and where its payload lies in it.
struct CodedFile {
  FrequencyTable counts{};
  Bytes file;
  std::uint64_t offset = 0;  // of the payload's first byte in `file`
  std::uint64_t bits = 0;    // the bitCount of its header

  std::span<const std::uint8_t> payload() const {
    return std::span(file).subspan(static_cast<std::size_t>(offset));
  }
};

// `data` encoded with the tree of `counts`.
inline CodedFile encodeOrFail(const FrequencyTable& counts, std::span<const std::uint8_t> data) {
  CodedFile coded;
  coded.counts = counts;
  const auto file = tools::encodeWithTable(counts, data);
  EXPECT_TRUE(file.has_value()) << "the encoder refused the data";
  if (!file) return coded;
  coded.file = *file;
  const FileHeader header = parseHeader(coded.file.data());
  coded.offset = kHeaderSize + static_cast<std::uint64_t>(header.tableSize);
  coded.bits = static_cast<std::uint64_t>(header.bitCount);
  return coded;
}

// A file of any bits under the tree of `counts`, as a damaged or hand-made file may hold.
inline CodedFile fileOf(const FrequencyTable& counts, Bytes payload, std::uint64_t bits) {
  TestFile builder;
  std::uint64_t table = 0;
  for (std::size_t symbol = 0; symbol < counts.size(); ++symbol) {
    if (counts[symbol] <= 0) continue;
    builder.entry(static_cast<std::uint8_t>(symbol), counts[symbol]);
    table += kTableEntrySize;
  }
  CodedFile coded;
  coded.counts = counts;
  coded.file =
      builder.payloadBytes(std::move(payload)).bitCount(static_cast<std::int32_t>(bits)).bytes();
  coded.offset = kHeaderSize + table;
  coded.bits = bits;
  return coded;
}

// The first `bits` bits of `payload` walked one tree step per bit.
inline Bytes walkPayload(const TreeNode* root, std::span<const std::uint8_t> payload,
                         std::uint64_t bits) {
  checks::MemoryDestination memory;
  checks::walkPayload(root, payload, bits, memory);
  return memory.bytes();
}

// Decodes `file` with the whole decoder, on the calling thread, into memory: what was handed on,
// and how many bytes were put into the destination at all (a failed decode must have put none).
inline checks::Outcome decodeInMemory(std::span<const std::uint8_t> file) {
  return checks::productionDecode(file);
}

// A verdict of the judge as a test assertion: empty is success.
inline ::testing::AssertionResult judged(const std::string& verdict) {
  if (verdict.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << verdict;
}

inline ::testing::AssertionResult sameBytes(std::span<const std::uint8_t> got,
                                            std::span<const std::uint8_t> expected) {
  return judged(checks::firstDifference(got, expected));
}

}  // namespace ravmolt::testing
