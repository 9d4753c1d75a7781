// Real files of several MiB, read through many refills of the source buffer and decoded mostly in
// blocks of lanes and on two threads, compared with the reference tree walk: data shaped like the
// corpus kinds, codes in step everywhere and codes never in step (so every guessed start is
// dropped), random trees over random bits (damaged files), and a write failure in the middle of a
// large decode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "engine/decompressor.h"
#include "engine/io/file_decode.h"
#include "engine/io/source_stream.h"
#include "tests/code_shapes.h"
#include "tests/reference_walk.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::sameBytes;

// A private folder with one compressed file in it, removed afterwards.
class TempFile {
 public:
  explicit TempFile(const Bytes& contents) {
    if (::mkdtemp(folder_) == nullptr) return;
    path_ = std::string(folder_) + "/in.rvm";
    output_ = std::string(folder_) + "/out";
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::remove(path_.c_str());
    std::remove(output_.c_str());
    ::rmdir(folder_);
  }
  const std::string& path() const { return path_; }
  const std::string& output() const { return output_; }

 private:
  char folder_[32] = "/tmp/ravmolt-largefile-XXXXXX";
  std::string path_;
  std::string output_;
};

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The file decoded one tree step per bit, from memory. The file is trusted.
Bytes referenceDecode(const Bytes& file) {
  const FileHeader header = parseHeader(file.data());
  FrequencyTable frequencies{};
  for (std::size_t offset = 0; offset < static_cast<std::size_t>(header.tableSize);
       offset += kTableEntrySize) {
    const std::uint8_t* entry = file.data() + kHeaderSize + offset;
    frequencies[entry[0]] = readLittleEndian<std::int32_t>(entry + 1);
  }
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  if (root == nullptr) return {};
  const std::size_t start = kHeaderSize + static_cast<std::size_t>(header.tableSize);
  return testing::referenceDecode(root, std::span(file).subspan(start), header.bitCount);
}

std::uint64_t payloadBytesOf(const Bytes& file) {
  return (static_cast<std::uint64_t>(parseHeader(file.data()).bitCount) + 7) / 8;
}

// Decodes `file` through decodeFile and checks it against the tree walk. The payload must span
// several source buffers.
void expectFileDecodeMatchesTheWalk(const Bytes& file) {
  ASSERT_GE(payloadBytesOf(file), 8 * SourceStream::kBufferSize) << "too small";
  TempFile temp(file);
  ASSERT_EQ(decodeFile(temp.path().c_str(), temp.output().c_str()), DecodeStatus::success);
  EXPECT_TRUE(sameBytes(readAll(temp.output()), referenceDecode(file)));
}

// The data of a case is made in the test itself, not when the cases are listed: every test
// process lists them all.
enum class LargeKind {
  englishText,
  executable,
  randomBytes,
  skewedGeometric,
  fibonacci,
  threeBits,
  neverInStep
};

struct LargeCase {
  const char* name;
  LargeKind kind;
  std::size_t size;
};

void PrintTo(const LargeCase& value, std::ostream* out) {
  *out << value.name << " (" << value.size << " bytes)";
}

// The counts and the data of a case.
std::pair<FrequencyTable, Bytes> makeLargeCase(const LargeCase& value) {
  const auto corpus = [&](tools::CorpusKind kind) {
    Bytes data = tools::makeCorpus(kind, value.size, 21);
    return std::pair{tools::countBytes(data), std::move(data)};
  };
  switch (value.kind) {
    case LargeKind::englishText:
      return corpus(tools::CorpusKind::englishText);
    case LargeKind::executable:
      return corpus(tools::CorpusKind::executable);
    case LargeKind::randomBytes:
      return corpus(tools::CorpusKind::randomBytes);
    case LargeKind::skewedGeometric:
      return corpus(tools::CorpusKind::skewedGeometric);
    case LargeKind::fibonacci: {
      Bytes data = tools::makeCorpus(tools::CorpusKind::fibonacciWeights, value.size, 22);
      for (std::uint8_t symbol = 0; symbol < 40; ++symbol) data.push_back(symbol);
      return {tools::fibonacciCounts(), std::move(data)};
    }
    case LargeKind::threeBits:
    case LargeKind::neverInStep:
      break;
  }
  // Equal 3-bit codes are in step in every lane and segment, which start a multiple of 3 bits
  // apart; the other code never falls into step, so every guessed start is dropped.
  const FrequencyTable counts =
      value.kind == LargeKind::threeBits ? testing::threeBitCounts() : testing::neverInStepCounts();
  return {counts, testing::randomSymbols(counts, value.size, 23)};
}

const LargeCase kLargeCases[] = {
    {"englishText", LargeKind::englishText, std::size_t{5} << 20},
    {"executable", LargeKind::executable, std::size_t{4} << 20},
    {"randomBytes", LargeKind::randomBytes, std::size_t{3} << 20},
    {"skewedGeometric", LargeKind::skewedGeometric, std::size_t{12} << 20},
    {"fibonacciAllSymbols", LargeKind::fibonacci, std::size_t{12} << 20},
    {"threeBitCodes", LargeKind::threeBits, std::size_t{7} << 20},
    {"neverInStep", LargeKind::neverInStep, std::size_t{7} << 20},
};

class LargeFiles : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeFiles, MatchTheTreeWalkAndTheOriginal) {
  const auto [frequencies, data] = makeLargeCase(GetParam());
  const auto file = tools::encodeWithTable(frequencies, data);
  ASSERT_TRUE(file.has_value());
  expectFileDecodeMatchesTheWalk(*file);
  TempFile temp(*file);
  ASSERT_EQ(decodeFile(temp.path().c_str(), temp.output().c_str()), DecodeStatus::success);
  EXPECT_TRUE(sameBytes(readAll(temp.output()), data));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LargeFiles, ::testing::ValuesIn(kLargeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LargeFileDecode, RandomTreesOverRandomBitsMatchTheTreeWalk) {
  // Arbitrary bits under arbitrary trees: second lanes resynchronise at random places, late, or
  // never. bitCount cuts the last byte at a random place.
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    FrequencyTable frequencies{};
    const std::size_t symbols = 2 + random() % 255;
    std::uint8_t someSymbol = 0;
    for (std::size_t i = 0; i < symbols; ++i) {
      someSymbol = static_cast<std::uint8_t>(random());
      frequencies[someSymbol] =
          1 + static_cast<std::int32_t>(random() % (seed % 2 == 0 ? 3 : 100000));
    }
    // A file with those counts, whose payload is then replaced by random bytes.
    auto file = tools::encodeWithTable(frequencies, Bytes{someSymbol});
    ASSERT_TRUE(file.has_value());
    const std::size_t payloadStart =
        kHeaderSize + static_cast<std::size_t>(parseHeader(file->data()).tableSize);
    file->resize(payloadStart);
    const std::size_t payloadSize = 8 * SourceStream::kBufferSize + random() % 400000;
    for (std::size_t i = 0; i < payloadSize; ++i)
      file->push_back(static_cast<std::uint8_t>(random()));
    const auto bitCount = static_cast<std::int32_t>(8 * payloadSize - random() % 8);
    for (std::size_t i = 0; i < 4; ++i) {
      (*file)[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(bitCount) >> (8 * i));
    }
    file->front() = checksumFor(bitCount, parseHeader(file->data()).tableSize);
    expectFileDecodeMatchesTheWalk(*file);
  }
}

struct RefuseAfter {
  std::uint64_t accepted = 0;
  std::uint64_t limit = 0;
  static bool take(void* context, const std::uint8_t*, std::size_t size) {
    auto& self = *static_cast<RefuseAfter*>(context);
    if (self.accepted >= self.limit) return false;
    self.accepted += size;
    return true;
  }
};

TEST(LargeFileDecode, AWriteFailureStopsTheDecodePromptly) {
  const Bytes data = tools::makeCorpus(tools::CorpusKind::englishText, std::size_t{16} << 20, 24);
  const auto file = tools::encode(data);
  ASSERT_TRUE(file.has_value());
  ASSERT_GE(payloadBytesOf(*file), 16 * SourceStream::kBufferSize);
  TempFile temp(*file);
  const int fd = ::open(temp.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  SourceStream source(fd, file->size());
  RefuseAfter sink{0, std::uint64_t{1} << 20};
  DestinationStream destination(RefuseAfter::take, &sink);
  EXPECT_EQ(Decompressor(source, destination).decode(), DecodeStatus::writeFailed);
  // The decoder gave up soon after the failure, far from the end of the file.
  EXPECT_LT(source.position(), file->size() / 2);
  ::close(fd);
}

}  // namespace
}  // namespace ravmolt
