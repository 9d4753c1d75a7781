// The bit reader: most significant bit first, and past the end only the bits it still holds.
#include "engine/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ravmolt {
namespace {

std::string takeBits(BitReader& reader, std::size_t count) {
  std::string bits;
  for (std::size_t i = 0; i < count; ++i) bits += reader.nextBit() == 0 ? '0' : '1';
  return bits;
}

struct BitCase {
  const char* name;
  std::vector<std::uint8_t> payload;
  std::string expected;  // the first expected.size() bits, ends included
};

class BitReaderSequence : public ::testing::TestWithParam<BitCase> {};

TEST_P(BitReaderSequence, HandsOutBitsMsbFirstThenRepeatsTheLastHeldBit) {
  const std::vector<std::uint8_t>& payload = GetParam().payload;
  SourceStream source(std::span<const std::uint8_t>(payload.data(), payload.size()));
  BitReader reader(source);
  EXPECT_EQ(takeBits(reader, GetParam().expected.size()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Payloads, BitReaderSequence,
                         ::testing::Values(BitCase{"twoBytes",
                                                   {0xB4, 0x01},
                                                   "10110100"
                                                   "00000001"
                                                   "11111111"},
                                           BitCase{"single01",
                                                   {0x01},
                                                   "00000001"
                                                   "1111111111"},
                                           BitCase{"single80",
                                                   {0x80},
                                                   "10000000"
                                                   "0000000000"},
                                           BitCase{"empty",
                                                   {},
                                                   "00000000"
                                                   "0000000000"},
                                           BitCase{"highBytesAreUnsigned",
                                                   {0xFF, 0x80, 0xC3},
                                                   "11111111"
                                                   "10000000"
                                                   "11000011"
                                                   "111"},
                                           BitCase{"lastBitZeroRepeatsZero",
                                                   {0xFF, 0xFE},
                                                   "11111111"
                                                   "11111110"
                                                   "0000"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BitReader, StartsAtTheSourcesCurrentPosition) {
  const std::vector<std::uint8_t> bytes{0x00, 0x00, 0xA5};
  SourceStream source(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
  source.seek(2);
  BitReader reader(source);
  EXPECT_EQ(takeBits(reader, 8), "10100101");
}

TEST(BitReader, ReadsAFileAcrossTheSourcesBufferRefills) {
  // More than one source buffer, with a byte pattern that shows any skipped or repeated byte.
  std::vector<std::uint8_t> bytes(SourceStream::kBufferSize * 2 + 3);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  ASSERT_EQ(std::fflush(file), 0);

  SourceStream source(fileno(file), bytes.size());
  BitReader reader(source);
  std::size_t mismatches = 0;
  for (std::uint8_t expected : bytes) {
    int byte = 0;
    for (int k = 0; k < 8; ++k) byte = (byte << 1) | reader.nextBit();
    if (byte != expected) ++mismatches;
  }
  std::fclose(file);
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace ravmolt
