// The decoder on whole files in memory: header, checksum, table, payload, and every file it must
// refuse before writing a byte.
#include "engine/decompressor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/decode_support.h"
#include "tests/test_file.h"

namespace ravmolt {
namespace {

using ::ravmolt::testing::bytesOf;
using ::ravmolt::testing::decodeInMemory;
using ::ravmolt::testing::TestFile;
using ::ravmolt::testing::withBitCount;
using Bytes = std::vector<std::uint8_t>;

// checksum 0x30, bitCount 23, tableSize 25; the payload 0 110 111 0 100 0 101 0 110 111 0.
const Bytes kAbracadabra{0x30, 0x17, 0x00, 0x00, 0x00, 0x19, 0x00, 0x61, 0x05, 0x00, 0x00, 0x00,
                         0x62, 0x02, 0x00, 0x00, 0x00, 0x63, 0x01, 0x00, 0x00, 0x00, 0x64, 0x01,
                         0x00, 0x00, 0x00, 0x72, 0x02, 0x00, 0x00, 0x00, 0x6E, 0x8A, 0xDC};

Bytes prefix(const Bytes& file, std::size_t length) {
  return {file.begin(), file.begin() + length};
}

struct FileCase {
  std::string name;
  Bytes file;
  std::optional<Bytes> restored;  // none: the file is invalid and nothing may be written
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class DecodeFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(DecodeFile, RestoresExactlyOrRefusesWithoutOutput) {
  const checks::Outcome result = decodeInMemory(GetParam().file);
  if (GetParam().restored) {
    EXPECT_EQ(result.status, DecodeStatus::success);
    EXPECT_EQ(result.output, *GetParam().restored);
  } else {
    EXPECT_EQ(result.status, DecodeStatus::invalidFormat);
    EXPECT_EQ(result.produced, 0U) << "bytes put into the destination";
  }
}

std::vector<FileCase> validFiles() {
  const Bytes abra = bytesOf("abracadabra");
  Bytes a123(7 + 5 + 16, 0);
  const Bytes a123Head{0x80, 0x7B, 0x00, 0x00, 0x00, 0x05, 0x00, 0x41, 0x01, 0x00, 0x00, 0x00};
  std::copy(a123Head.begin(), a123Head.end(), a123.begin());
  const auto abraTable = [](TestFile file) {
    return file.entry('a', 5).entry('b', 2).entry('c', 1).entry('d', 1).entry('r', 2);
  };
  return {
      {"sevenZeroBytes", Bytes(7, 0), Bytes{}},
      {"checksumByteIsUnsigned", a123, Bytes(123, 0x41)},
      {"abracadabra", kAbracadabra, abra},
      {"abracadabraCutInOneBitCode", withBitCount(kAbracadabra, 22), prefix(abra, 10)},
      {"abracadabraCutInThreeBitCode", withBitCount(kAbracadabra, 21), prefix(abra, 9)},
      {"paddingBitInsideTheFileDecodes", withBitCount(kAbracadabra, 24), bytesOf("abracadabraa")},
      {"descendingTable",
       TestFile()
           .entry('r', 2)
           .entry('d', 1)
           .entry('c', 1)
           .entry('b', 2)
           .entry('a', 5)
           .bits("0 110 111 0 100 0 101 0 110 111 0")
           .bytes(),
       abra},
      {"tableBuilderMatchesTheKnownFile",
       abraTable(TestFile()).bits("0 110 111 0 100 0 101 0 110 111 0").bytes(), abra},
      {"symbolsAbove0x7FAreUnsigned",
       TestFile()
           .entry(0x80, 5)
           .entry(0x90, 2)
           .entry(0xA0, 1)
           .entry(0xB0, 1)
           .entry(0xFF, 2)
           .bits("0 110 111 100 101")
           .bytes(),
       Bytes{0x80, 0x90, 0xFF, 0xA0, 0xB0}},
      {"singleSymbol",
       {0x09, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x61, 0x04, 0x00, 0x00, 0x00, 0x00},
       bytesOf("aaaa")},
      {"singleSymbolFillerSpace",
       {0x0A, 0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x61, 0x04, 0x00, 0x00, 0x00, 0x08},
       bytesOf("aaaa ")},
      {"bitCountZeroIgnoresTableAndPayload", withBitCount(kAbracadabra, 0), Bytes{}},
      {"bitCountNegative", withBitCount(kAbracadabra, -1), Bytes{}},
      {"bitCountMostNegativeNoTable", TestFile().bitCount(INT32_MIN).bytes(), Bytes{}},
      {"bitCountZeroNoPositiveCount", TestFile().entry('a', 0).entry('b', -1).bytes(), Bytes{}},
      // Negative sums pass only as multiples of 256, against checksum 0.
      {"negativeSumMultipleOf256", TestFile().entry('a', 1).bitCount(-261).checksum(0).bytes(),
       Bytes{}},
      {"negativeTableSizeNegativeBitCount",
       TestFile().tableSize(-5).bitCount(-251).checksum(0).bytes(), Bytes{}},
      // tableSize 8: the second entry takes its last two count bytes from the payload, which still
      // starts at offset 15. Count of 'b' is 0x00800001, so 'a' = 0 and 'b' = 1.
      {"tableSizeNotMultipleOf5ReadsIntoPayload",
       TestFile()
           .entry('a', 1)
           .payloadBytes({'b', 0x01, 0x00, 0x80, 0x00})
           .tableSize(8)
           .bitCount(16)
           .bytes(),
       bytesOf("baaaaaaaaaaaaaaa")},
      // a = 9 and b = 5 give b = 0, a = 1; if the first entry won, a = 0 and b = 1.
      {"duplicateEntryLaterWins",
       TestFile().entry('a', 1).entry('b', 5).entry('a', 9).bits("10").bytes(), bytesOf("ab")},
      {"countsZeroOrBelowGetNoCode",
       TestFile()
           .entry('a', 0)
           .entry('b', -4)
           .entry('c', 3)
           .entry('d', INT32_MIN)
           .entry('e', 1)
           .bits("1 0 0 1")
           .bytes(),
       bytesOf("ceec")},
  };
}

std::vector<FileCase> invalidFiles() {
  std::vector<FileCase> cases;
  for (std::size_t length = 0; length < kHeaderSize; ++length) {
    cases.push_back({"shortHeader" + std::to_string(length), prefix(kAbracadabra, length), {}});
    cases.push_back({"shortZeroHeader" + std::to_string(length), Bytes(length, 0), {}});
  }
  for (std::size_t length = kHeaderSize; length < 7 + 25; ++length) {
    cases.push_back({"tableCutAt" + std::to_string(length), prefix(kAbracadabra, length), {}});
  }
  const Bytes tail{0xFF, 0xFF, 0xFF, 0xFF};
  cases.insert(
      cases.end(),
      {
          {"lastEntryRunsPastTheEnd",
           TestFile()
               .entry('a', 1)
               .payloadBytes({'b', 0x01, 0x00})
               .tableSize(8)
               .bitCount(0)
               .bytes(),
           {}},
          {"bitsWithoutTable", TestFile().payloadBytes(tail).bitCount(8).bytes(), {}},
          {"bitsWithNegativeTableSize",
           TestFile().payloadBytes(tail).tableSize(-5).bitCount(13).bytes(),
           {}},
          {"bitsWithOnlyNonPositiveCounts",
           TestFile()
               .entry('a', 0)
               .entry('b', -3)
               .entry(0xFF, INT32_MIN)
               .payloadBytes(tail)
               .bitCount(8)
               .bytes(),
           {}},
          {"payloadShortByOneBit", withBitCount(kAbracadabra, 25), {}},
          {"payloadShortByOneByte", prefix(kAbracadabra, kAbracadabra.size() - 1), {}},
          {"singleSymbolShortByOneBit",
           TestFile().entry('a', 4).bits("00000000").bitCount(9).bytes(),
           {}},
          {"negativeSumNotMultipleOf256", TestFile().bitCount(-257).checksum(0xFF).bytes(), {}},
      });
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Valid, DecodeFile, ::testing::ValuesIn(validFiles()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Invalid, DecodeFile, ::testing::ValuesIn(invalidFiles()),
                         [](const auto& info) { return info.param.name; });

TEST(Checksum, EachHeaderFieldOffByOneFails) {
  // checksum 5, bitCount 0, tableSize 5 (one entry), with payload bytes to spare so that every
  // variant below is a sound file once its checksum is recomputed: only the checksum refuses it.
  const auto file = [](std::int32_t bitCount, std::int16_t tableSize) {
    return TestFile()
        .entry('a', 1)
        .payloadBytes({0, 0, 0, 0, 0})
        .bitCount(bitCount)
        .tableSize(tableSize);
  };
  EXPECT_EQ(file(0, 5).bytes()[0], 0x05);
  EXPECT_EQ(decodeInMemory(file(0, 5).bytes()).status, DecodeStatus::success);

  struct Variant {
    std::int32_t bitCount;
    std::int16_t tableSize;
    std::uint8_t checksum;
  };
  for (const Variant v : {Variant{0, 5, 4}, Variant{0, 5, 6}, Variant{1, 5, 5}, Variant{-1, 5, 5},
                          Variant{0, 4, 5}, Variant{0, 6, 5}}) {
    SCOPED_TRACE(::testing::Message() << "bitCount " << v.bitCount << " tableSize " << v.tableSize
                                      << " checksum " << int{v.checksum});
    EXPECT_EQ(decodeInMemory(file(v.bitCount, v.tableSize).checksum(v.checksum).bytes()).status,
              DecodeStatus::invalidFormat);
    EXPECT_EQ(decodeInMemory(file(v.bitCount, v.tableSize).bytes()).status, DecodeStatus::success);
  }
}

TEST(Decompressor, RefusedWriteDuringDecodeReturnsWriteFailedAndStopsWriting) {
  // Output larger than the destination's buffer, so the decoder itself meets the failure.
  const std::int32_t bitCount = static_cast<std::int32_t>(DestinationStream::kBufferSize) * 3;
  const Bytes file = TestFile()
                         .entry('a', 1)
                         .payloadBytes(Bytes(static_cast<std::size_t>(bitCount) / 8, 0))
                         .bitCount(bitCount)
                         .bytes();
  checks::MemorySink sink;
  sink.cap = 0;
  SourceStream source(file);
  DestinationStream destination(&checks::MemorySink::take, &sink);
  EXPECT_EQ(Decompressor(source, destination).decode(), DecodeStatus::writeFailed);
  EXPECT_FALSE(destination.flush());
  EXPECT_EQ(sink.calls, 1) << "bytes after a failed write must be dropped, not retried";
}

}  // namespace
}  // namespace ravmolt
