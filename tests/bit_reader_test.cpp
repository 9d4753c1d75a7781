// The bit reader: most significant bit first, and past the end only the bits it still holds; and
// the memory stream under it, sought past its end.
#include "engine/format/bit_reader.h"

#include <gtest/gtest.h>

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
  std::string expected;  // the first bits handed out, grouped by spaces for reading
};
void PrintTo(const BitCase& row, std::ostream* os) { *os << row.name; }

class BitReaderSequence : public ::testing::TestWithParam<BitCase> {};

TEST_P(BitReaderSequence, HandsOutBitsMsbFirstThenRepeatsTheLastHeldBit) {
  const std::vector<std::uint8_t>& payload = GetParam().payload;
  SourceStream source(std::span<const std::uint8_t>(payload.data(), payload.size()));
  BitReader reader(source);
  std::string expected = GetParam().expected;
  std::erase(expected, ' ');
  EXPECT_EQ(takeBits(reader, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, BitReaderSequence,
    ::testing::Values(
        BitCase{"twoBytes", {0xB4, 0x01}, "10110100 00000001 11111111"},
        BitCase{"single01", {0x01}, "00000001 1111111111"},
        BitCase{"single80", {0x80}, "10000000 0000000000"},
        BitCase{"empty", {}, "00000000 0000000000"},
        BitCase{"highBytesAreUnsigned", {0xFF, 0x80, 0xC3}, "11111111 10000000 11000011 111"},
        BitCase{"lastBitZeroRepeatsZero", {0xFF, 0xFE}, "11111111 11111110 0000"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stream over memory holds every byte: a seek or a positioned read past them reads nothing, and
// a seek back to any of them reads on from there.
TEST(MemorySource, ReadsPastTheEndGiveNothingAndASeekBackReadsAgain) {
  const std::uint8_t bytes[] = {1, 2, 3, 4};
  SourceStream source(bytes);
  std::uint8_t byte = 0;
  source.seek(9);
  EXPECT_FALSE(source.readByte(byte));
  source.seek(2);
  ASSERT_TRUE(source.readByte(byte));
  EXPECT_EQ(byte, 3);
  // Positioned reads likewise: nothing past the end, and up to it only what is there.
  std::uint8_t out[4] = {};
  EXPECT_EQ(source.readAt(9, out, 4), 0U);
  EXPECT_EQ(source.readAt(3, out, 4), 1U);
  EXPECT_EQ(out[0], 4);
}

}  // namespace
}  // namespace ravmolt
