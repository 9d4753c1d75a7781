// The public interface as embedding programs use it: what reaches the sink, in how many blocks,
// what a refusing sink and an invalid file report, and the path-to-path call.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ravmolt/ravmolt.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The abracadabra file: codes a=0, b=110, r=111, c=100, d=101, 23 bits.
Bytes abracadabraFile() {
  return {0x30, 0x17, 0x00, 0x00, 0x00, 0x19, 0x00, 0x61, 0x05, 0x00, 0x00, 0x00,
          0x62, 0x02, 0x00, 0x00, 0x00, 0x63, 0x01, 0x00, 0x00, 0x00, 0x64, 0x01,
          0x00, 0x00, 0x00, 0x72, 0x02, 0x00, 0x00, 0x00, 0x6E, 0x8A, 0xDC};
}

// Text large enough to need several sink blocks, with a skewed byte distribution.
Bytes largeText() {
  Bytes text;
  std::uint32_t state = 12345;
  while (text.size() < 600'000) {
    state = state * 1103515245U + 12345U;
    text.push_back(static_cast<std::uint8_t>("eeeettaaoinshrdlu \n"[(state >> 16) % 19]));
  }
  return text;
}

// Collects every block and can refuse the n-th one (counting from 1; 0 never refuses).
struct RecordingSink {
  int refuseBlock = 0;
  std::vector<std::size_t> blockSizes;
  Bytes received;

  bool operator()(const std::uint8_t* data, std::size_t size) {
    blockSizes.push_back(size);
    if (static_cast<int>(blockSizes.size()) == refuseBlock) return false;
    received.insert(received.end(), data, data + size);
    return true;
  }
};

TEST(DecompressBuffer, RestoresTheAbracadabraFile) {
  RecordingSink sink;
  EXPECT_EQ(decompressBuffer(abracadabraFile(), sink), DecodeStatus::success);
  EXPECT_EQ(std::string(sink.received.begin(), sink.received.end()), "abracadabra");
}

TEST(DecompressBuffer, TakesATemporaryLambda) {
  std::string text;
  const auto status =
      decompressBuffer(abracadabraFile(), [&text](const std::uint8_t* data, std::size_t size) {
        text.append(reinterpret_cast<const char*>(data), size);
        return true;
      });
  EXPECT_EQ(status, DecodeStatus::success);
  EXPECT_EQ(text, "abracadabra");
}

TEST(DecompressBuffer, PassesTheContextToAPlainFunctionSink) {
  std::string text;
  const SinkFunction append = [](void* context, const std::uint8_t* data, std::size_t size) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
    return true;
  };
  EXPECT_EQ(decompressBuffer(abracadabraFile(), append, &text), DecodeStatus::success);
  EXPECT_EQ(text, "abracadabra");
}

TEST(DecompressBuffer, HandsALargeResultOnInOrderedBlocksOfAtMost256KiB) {
  const Bytes text = largeText();
  const auto compressed = tools::encode(text);
  ASSERT_TRUE(compressed.has_value());
  RecordingSink sink;
  EXPECT_EQ(decompressBuffer(*compressed, sink), DecodeStatus::success);
  EXPECT_EQ(sink.received, text);
  EXPECT_GE(sink.blockSizes.size(), 3U);
  for (std::size_t size : sink.blockSizes) EXPECT_LE(size, std::size_t{256} << 10);
}

// A refusal anywhere, the final hand-off included, is reported, and ends the hand-offs.
class RefusingSink : public ::testing::TestWithParam<int> {};

TEST_P(RefusingSink, GivesWriteFailedAndIsNotCalledAgain) {
  const auto compressed = tools::encode(largeText());
  ASSERT_TRUE(compressed.has_value());
  RecordingSink sink;
  sink.refuseBlock = GetParam();
  EXPECT_EQ(decompressBuffer(*compressed, sink), DecodeStatus::writeFailed);
  EXPECT_EQ(sink.blockSizes.size(), static_cast<std::size_t>(GetParam()));
}

// 600 000 bytes in blocks of 256 KiB: the third block is the last, handed on after the decode.
INSTANTIATE_TEST_SUITE_P(Blocks, RefusingSink, ::testing::Values(1, 2, 3));

TEST(DecompressBuffer, RefusalOfTheOnlyBlockIsReported) {
  RecordingSink sink;
  sink.refuseBlock = 1;
  EXPECT_EQ(decompressBuffer(abracadabraFile(), sink), DecodeStatus::writeFailed);
  EXPECT_EQ(sink.blockSizes.size(), 1U);
}

struct InvalidInput {
  const char* name;
  Bytes bytes;
};

void PrintTo(const InvalidInput& input, std::ostream* out) { *out << input.name; }

class InvalidBuffer : public ::testing::TestWithParam<InvalidInput> {};

TEST_P(InvalidBuffer, IsRefusedWithoutCallingTheSink) {
  RecordingSink sink;
  EXPECT_EQ(decompressBuffer(GetParam().bytes, sink), DecodeStatus::invalidFormat);
  EXPECT_TRUE(sink.blockSizes.empty());
}

Bytes withByte(Bytes bytes, std::size_t index, std::uint8_t value) {
  bytes[index] = value;
  return bytes;
}

Bytes firstBytes(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

INSTANTIATE_TEST_SUITE_P(
    Files, InvalidBuffer,
    ::testing::Values(InvalidInput{"Empty", {}},
                      InvalidInput{"ShortHeader", firstBytes(abracadabraFile(), 6)},
                      InvalidInput{"BadChecksum", withByte(abracadabraFile(), 0, 0x31)},
                      InvalidInput{"TableCutShort", firstBytes(abracadabraFile(), 20)},
                      InvalidInput{"PayloadCutShort", firstBytes(abracadabraFile(), 33)},
                      InvalidInput{"BitsWithoutCodes",
                                   testing::TestFile().entry('a', 0).bits("0101").bytes()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecompressBuffer, NoBitsIsAnEmptySuccess) {
  RecordingSink sink;
  const Bytes file = testing::TestFile().entry('a', 5).bitCount(0).bytes();
  EXPECT_EQ(decompressBuffer(file, sink), DecodeStatus::success);
  EXPECT_TRUE(sink.blockSizes.empty());
}

// A private folder for the path-to-path call, removed afterwards.
class DecompressFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ravmolt-api-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(std::string_view name) const { return (dir_ / name).string(); }
  void write(std::string_view name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  std::string read(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path dir_;
};

TEST_F(DecompressFile, RestoresOverAnExistingDestination) {
  write("in.rvm", abracadabraFile());
  write("out.txt", Bytes(100, 'x'));
  EXPECT_EQ(decompressFile(path("in.rvm").c_str(), path("out.txt").c_str()), DecodeStatus::success);
  EXPECT_EQ(read("out.txt"), "abracadabra");
  // A finished call's destination is complete: discarding the incomplete ones leaves it.
  discardIncompleteDestinations();
  EXPECT_EQ(read("out.txt"), "abracadabra");
}

TEST_F(DecompressFile, ReportsFileProblemsAsStatuses) {
  write("in.rvm", abracadabraFile());
  EXPECT_EQ(decompressFile(path("missing.rvm").c_str(), path("out.txt").c_str()),
            DecodeStatus::sourceNotFound);
  EXPECT_FALSE(std::filesystem::exists(path("out.txt")));
  EXPECT_EQ(decompressFile(path("in.rvm").c_str(), path("no/such/folder/out.txt").c_str()),
            DecodeStatus::destinationUnwritable);
  EXPECT_EQ(decompressFile(path("in.rvm").c_str(), path("in.rvm").c_str()), DecodeStatus::sameFile);
  EXPECT_EQ(read("in.rvm").size(), abracadabraFile().size());
}

TEST(DescribeStatus, GivesEveryStatusItsOwnText) {
  const DecodeStatus all[] = {DecodeStatus::success,        DecodeStatus::invalidFormat,
                              DecodeStatus::sourceNotFound, DecodeStatus::destinationUnwritable,
                              DecodeStatus::sameFile,       DecodeStatus::writeFailed};
  std::set<std::string_view> texts;
  for (DecodeStatus status : all) {
    const std::string_view text = describeStatus(status);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, describeStatus(static_cast<DecodeStatus>(200)));
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(all));
}

}  // namespace
}  // namespace ravmolt
