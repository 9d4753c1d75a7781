// The two-thread decoder against the reference tree walk, with segments forced small so that a
// few MiB make dozens of joins: joins proven in the edge window, joins that can never be proven
// (every guess redone, then no more guessing), 255-bit codes across segment edges, random
// bits, the segment plan itself, and a write failure or a shrunken source stopping both threads.
#include "engine/drivers/parallel_decoder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "engine/decompressor.h"
#include "tests/code_shapes.h"
#include "tests/reference_walk.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::appendTo;
using testing::referenceDecode;
using testing::sameBytes;

// An anonymous in-memory file, closed at the end of the scope.
class MemoryFile {
 public:
  explicit MemoryFile(const Bytes& contents = {}) : fd_(::memfd_create("ravmolt-test", 0)) {
    if (fd_ >= 0 && !contents.empty()) {
      EXPECT_EQ(::pwrite(fd_, contents.data(), contents.size(), 0),
                static_cast<ssize_t>(contents.size()));
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  Bytes contents() const {
    Bytes out(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd_, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }

 private:
  int fd_;
};

// A payload and the counts its tree is built from. The payload starts after a few bytes of
// something else in the file, so that segment reads are offset from the file's start.
struct Payload {
  FrequencyTable frequencies{};
  Bytes bytes;
  std::int32_t bitCount = 0;
};

constexpr std::size_t kLeadBytes = 13;

Payload encoded(const FrequencyTable& frequencies, const Bytes& data) {
  const auto file = tools::encodeWithTable(frequencies, data);
  EXPECT_TRUE(file.has_value());
  if (!file) return {};
  const FileHeader header = parseHeader(file->data());
  const auto start = kHeaderSize + static_cast<std::size_t>(header.tableSize);
  return {frequencies, Bytes(file->begin() + static_cast<std::ptrdiff_t>(start), file->end()),
          header.bitCount};
}

struct TwoThreadRun {
  std::optional<DecodeStatus> status;
  Bytes output;
};

// Decodes `payload` on two threads from one memory file into another with `plan`.
TwoThreadRun decodeOnTwoThreads(const TreeNode* root, const Payload& payload,
                                const SegmentPlan& plan) {
  Bytes file(kLeadBytes + payload.bytes.size(), 0x5A);
  std::copy(payload.bytes.begin(), payload.bytes.end(), file.begin() + kLeadBytes);
  MemoryFile in(file);
  MemoryFile out;
  SourceStream source(in.fd(), file.size());
  source.seek(kLeadBytes);
  DestinationStream destination(out.fd());
  TwoThreadRun run;
  run.status = decodeInParallel(root, shapeOf(root), source, payload.bitCount, destination, plan);
  destination.flush();
  run.output = out.contents();
  return run;
}

// Segments of `bits` each over the whole payload.
SegmentPlan planOf(std::uint64_t bits, std::int32_t bitCount) {
  const auto total = static_cast<std::uint64_t>(bitCount);
  auto count = static_cast<std::uint32_t>(total / bits);
  return {bits, count};  // the remainder joins the last segment
}

enum class Kind { corpus, threeBitCodes, neverInStep, deepCaterpillar, randomBits, singleSymbol };

struct ParallelCase {
  const char* name;
  Kind kind;
  tools::CorpusKind corpus;  // for Kind::corpus
  std::size_t size;          // bytes of data, or of payload for random bits
  std::uint64_t segmentBits;
};

void PrintTo(const ParallelCase& value, std::ostream* out) {
  *out << value.name << " (" << value.size << " bytes, segments of " << value.segmentBits
       << " bits)";
}

Payload makePayload(const ParallelCase& value) {
  switch (value.kind) {
    case Kind::corpus: {
      Bytes data = tools::makeCorpus(value.corpus, value.size, 31);
      FrequencyTable frequencies = tools::countBytes(data);
      if (value.corpus == tools::CorpusKind::fibonacciWeights) {
        frequencies = tools::fibonacciCounts();
        for (std::uint8_t symbol = 0; symbol < 40; ++symbol) data.push_back(symbol);
      }
      return encoded(frequencies, data);
    }
    case Kind::threeBitCodes: {
      const FrequencyTable counts = testing::threeBitCounts();
      return encoded(counts, testing::randomSymbols(counts, value.size, 32));
    }
    case Kind::neverInStep: {
      const FrequencyTable counts = testing::neverInStepCounts();
      return encoded(counts, testing::randomSymbols(counts, value.size, 35));
    }
    case Kind::deepCaterpillar: {
      // 256 counts of INT32_MAX wrap into a caterpillar 255 levels deep; the data favours its
      // deepest codes, so long codes cross many segment edges and edge windows.
      FrequencyTable counts{};
      counts.fill(INT32_MAX);
      NodeArena arena;
      const tools::CodeTable codes = tools::codesFromTree(buildTree(counts, arena));
      Bytes data(value.size);
      std::mt19937 random(33);
      for (auto& byte : data) {
        do {
          byte = static_cast<std::uint8_t>(random());
        } while (codes[byte].length < 128 && random() % 4 != 0);
      }
      return encoded(counts, data);
    }
    case Kind::singleSymbol: {
      // One symbol with the code 0 and the filler space with the code 1: every bit is a code.
      std::mt19937 random(36);
      Payload payload;
      payload.frequencies['A'] = 4;
      payload.bytes.resize(value.size);
      for (auto& byte : payload.bytes) byte = static_cast<std::uint8_t>(random());
      payload.bitCount = static_cast<std::int32_t>(8 * value.size - 3);
      return payload;
    }
    case Kind::randomBits: {
      // Arbitrary bits under an arbitrary tree, cut inside the last byte.
      std::mt19937 random(34);
      Payload payload;
      for (int i = 0; i < 120; ++i) {
        payload.frequencies[random() % 256] = 1 + static_cast<std::int32_t>(random() % 5000);
      }
      payload.bytes.resize(value.size);
      for (auto& byte : payload.bytes) byte = static_cast<std::uint8_t>(random());
      payload.bitCount = static_cast<std::int32_t>(8 * value.size - 5);
      return payload;
    }
  }
  return {};
}

constexpr std::uint64_t kSmall = kMinimumSegmentBits;

const ParallelCase kCases[] = {
    {"englishText", Kind::corpus, tools::CorpusKind::englishText, 600000, kSmall},
    {"englishTextOddSegments", Kind::corpus, tools::CorpusKind::englishText, 600000,
     kSmall + 8 * 37},
    {"manPages", Kind::corpus, tools::CorpusKind::manPages, 400000, kSmall * 2},
    {"executable", Kind::corpus, tools::CorpusKind::executable, 500000, kSmall},
    {"randomBytes", Kind::corpus, tools::CorpusKind::randomBytes, 300000, kSmall},
    {"skewedGeometric", Kind::corpus, tools::CorpusKind::skewedGeometric, 1500000, kSmall},
    {"fibonacci", Kind::corpus, tools::CorpusKind::fibonacciWeights, 1000000, kSmall},
    // Equal 3-bit codes and segments a multiple of 24 bits apart: every guess is on a true
    // boundary.
    {"threeBitCodesInStep", Kind::threeBitCodes, {}, 300000, kSmall * 3},
    // Segments 8 bits off a multiple of 3, or a code never in step: no guess ever joins, so every
    // segment is decoded a second time from a true boundary, and then guessing stops and the
    // writer decodes every segment from its true start.
    {"threeBitCodesNeverInStep", Kind::threeBitCodes, {}, 300000, kSmall * 3 + 8},
    {"deepCaterpillar", Kind::deepCaterpillar, {}, 8000, kSmall},
    {"randomBits", Kind::randomBits, {}, 200000, kSmall + 8},
    {"singleSymbol", Kind::singleSymbol, {}, 40000, kSmall},
};

// English text of `size` bytes, encoded, with its tree.
struct EnglishText {
  explicit EnglishText(std::size_t size)
      : payload(makePayload(
            {"englishText", Kind::corpus, tools::CorpusKind::englishText, size, kSmall})),
        root(buildTree(payload.frequencies, arena)) {}
  Payload payload;
  NodeArena arena;
  const TreeNode* root;
};

class ParallelDecoderCases : public ::testing::TestWithParam<ParallelCase> {};

TEST_P(ParallelDecoderCases, MatchTheTreeWalk) {
  const Payload payload = makePayload(GetParam());
  ASSERT_GT(payload.bitCount, 0);
  NodeArena arena;
  const TreeNode* root = buildTree(payload.frequencies, arena);
  ASSERT_NE(root, nullptr);
  const SegmentPlan plan = planOf(GetParam().segmentBits, payload.bitCount);
  ASSERT_GE(plan.count, 4U) << "too few segments to test joins";
  const TwoThreadRun run = decodeOnTwoThreads(root, payload, plan);
  ASSERT_EQ(run.status, DecodeStatus::success);
  EXPECT_TRUE(sameBytes(run.output, referenceDecode(root, payload.bytes, payload.bitCount)));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ParallelDecoderCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParallelDecoder, EveryCutOffNearTheEndMatchesTheTreeWalk) {
  // The last segment ends exactly at bitCount; cut it at every bit of its last bytes, where an
  // incomplete last code must produce nothing.
  const EnglishText text(100000);
  const Payload& full = text.payload;
  const TreeNode* root = text.root;
  for (std::int32_t cut = 0; cut < 64; ++cut) {
    SCOPED_TRACE("bitCount " + std::to_string(full.bitCount - cut));
    Payload payload = full;
    payload.bitCount -= cut;
    const TwoThreadRun run = decodeOnTwoThreads(root, payload, planOf(kSmall, payload.bitCount));
    ASSERT_EQ(run.status, DecodeStatus::success);
    ASSERT_TRUE(sameBytes(run.output, referenceDecode(root, payload.bytes, payload.bitCount)));
  }
}

TEST(ParallelDecoder, PlansSegmentsWhereCodesCanFallIntoStep) {
  struct PlanCase {
    CodeShape shape;
    std::int32_t bitCount;
    std::size_t outputBytes;
  };
  const PlanCase cases[] = {
      {{3, 12, 1}, INT32_MAX, std::size_t{1} << 20},
      {{3, 3, 3}, 90000000, std::size_t{1} << 20},
      {{8, 8, 8}, 8 * 5000000, std::size_t{1} << 20},
      {{2, 6, 2}, 1 << 22, 4096},  // at least kMinimumSegmentBits even for little output
      {{1, 30, 1}, 123456789, std::size_t{1} << 18},
      {{1, 2, 1}, static_cast<std::int32_t>(kMinimumSegmentBits * 3 - 1), 4096},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE("bitCount " + std::to_string(c.bitCount));
    const SegmentPlan plan = planSegments(c.shape, c.bitCount, c.outputBytes);
    ASSERT_GE(plan.count, 1U);
    EXPECT_EQ(plan.segmentBits % 8, 0U);
    EXPECT_EQ(plan.segmentBits % static_cast<std::uint64_t>(c.shape.lengthDivisor), 0U);
    EXPECT_GE(plan.segmentBits, kMinimumSegmentBits);
    const std::uint64_t lastStart = (plan.count - 1) * plan.segmentBits;
    ASSERT_LE(lastStart, static_cast<std::uint64_t>(c.bitCount));
    const std::uint64_t lastBits = static_cast<std::uint64_t>(c.bitCount) - lastStart;
    if (plan.count > 1) {
      EXPECT_GE(lastBits, kMinimumSegmentBits);
      // A whole segment restores no more than the output asked for, at one byte per shortest
      // code, unless the minimum length forces more.
      if (plan.segmentBits > kMinimumSegmentBits + 64) {
        EXPECT_LE(plan.segmentBits / static_cast<std::uint64_t>(c.shape.shortest), c.outputBytes);
      }
    }
    EXPECT_LT(lastBits, 2 * plan.segmentBits + kMinimumSegmentBits);
  }
}

TEST(ParallelDecoder, DeclinesWhatItCannotDoAndTouchesNothing) {
  const EnglishText text(100000);
  const Payload& payload = text.payload;
  const TreeNode* root = text.root;
  MemoryFile in(payload.bytes);
  MemoryFile out;
  const SegmentPlan tooFew{kSmall, 1};
  const SegmentPlan tooShort{kSmall / 2, 8};
  const SegmentPlan pastTheEnd{kSmall, static_cast<std::uint32_t>(payload.bitCount / kSmall + 1)};
  for (const SegmentPlan& plan : {tooFew, tooShort, pastTheEnd}) {
    SourceStream source(in.fd(), payload.bytes.size());
    DestinationStream destination(out.fd());
    EXPECT_FALSE(decodeInParallel(root, shapeOf(root), source, payload.bitCount, destination, plan)
                     .has_value());
    EXPECT_EQ(source.position(), 0U);
    EXPECT_EQ(destination.total(), 0U);
  }
  // Memory at either end is always left to the one-thread decoder.
  Bytes collected;
  SourceStream memory(payload.bytes);
  DestinationStream sink(appendTo, &collected);
  EXPECT_FALSE(decodeInParallel(root, shapeOf(root), memory, payload.bitCount, sink,
                                planOf(kSmall, payload.bitCount))
                   .has_value());
  SourceStream file(in.fd(), payload.bytes.size());
  EXPECT_FALSE(decodeInParallel(root, shapeOf(root), file, payload.bitCount, sink,
                                planOf(kSmall, payload.bitCount))
                   .has_value());
  EXPECT_TRUE(collected.empty());
}

TEST(ParallelDecoder, AWriteFailureStopsBothThreads) {
  // A pipe whose reader has gone: the first write fails with EPIPE (SIGPIPE ignored meanwhile).
  const EnglishText text(600000);
  const Payload& payload = text.payload;
  const TreeNode* root = text.root;
  MemoryFile in(payload.bytes);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  SourceStream source(in.fd(), payload.bytes.size());
  DestinationStream destination(ends[1]);
  EXPECT_EQ(decodeInParallel(root, shapeOf(root), source, payload.bitCount, destination,
                             planOf(kSmall, payload.bitCount)),
            DecodeStatus::writeFailed);
  EXPECT_TRUE(destination.failed());
  std::signal(SIGPIPE, previous);
  ::close(ends[1]);
}

TEST(ParallelDecoder, ASourceShorterThanCheckedIsInvalid) {
  // The source was measured at its full size, then lost its second half.
  const EnglishText text(600000);
  const Payload& payload = text.payload;
  const TreeNode* root = text.root;
  const Bytes half(payload.bytes.begin(),
                   payload.bytes.begin() + static_cast<std::ptrdiff_t>(payload.bytes.size() / 2));
  MemoryFile in(half);
  MemoryFile out;
  SourceStream source(in.fd(), payload.bytes.size());
  DestinationStream destination(out.fd());
  EXPECT_EQ(decodeInParallel(root, shapeOf(root), source, payload.bitCount, destination,
                             planOf(kSmall, payload.bitCount)),
            DecodeStatus::invalidFormat);
  // Whatever was written is the start of the true output.
  destination.flush();
  const Bytes written = out.contents();
  const Bytes expected = referenceDecode(root, payload.bytes, payload.bitCount);
  ASSERT_LE(written.size(), expected.size());
  EXPECT_TRUE(sameBytes(
      written,
      Bytes(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(written.size()))));
}

}  // namespace
}  // namespace ravmolt
