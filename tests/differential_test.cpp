// The fast decoders against the reference walk, one table of cases: tree shapes (every corpus
// kind, flat 8-bit codes, 255-bit codes, one symbol, codes in step at once or never, many long
// codes, random trees over random bits) crossed with cut-offs (every bitCount of a short payload,
// the last bits of a long one), drivers (the one-thread stream driver, the two-thread driver in
// segments forced short, the whole tool on real files) and sources (memory, a file read through
// the stream's buffer at an offset, memory right before an inaccessible page).
#include <climits>
#include <random>
#include <string>

#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/fast/span_decoder.h"
#include "fuzz/guard_pages.h"
#include "fuzz/stream_feed.h"
#include "ravmolt/ravmolt.h"
#include "tests/code_shapes.h"
#include "tests/decode_support.h"
#include "tests/scratch_file.h"
#include "tests/temp_folder.h"
#include "tools/corpus.h"

namespace ravmolt {
namespace {

using testing::Bytes;
using testing::CodedFile;
using testing::judged;
using testing::sameBytes;

enum class Shape {
  english,
  manPages,
  source,
  executable,
  flat,           // every code 8 bits: the byte translation
  geometric,      // mostly 1- and 2-bit codes
  fibonacci,      // codes of up to 39 bits, many longer than a lookup
  caterpillar,    // codes of up to 255 bits, the deepest ones favoured
  farReads,       // caterpillar codes: three of 13 bits, then one of 255 bits, over and over
  singleSymbol,   // 'A' = 0 and the filler space = 1: every bit is a code
  threeBits,      // equal 3-bit codes: lanes and segments a multiple of 3 apart are in step
  neverInStep,    // codes of 2 to 4 bits that never fall into step off a true boundary
  manyLongCodes,  // one code in about 70 longer than a lookup, on random bits
  randomTree,     // a random tree over random bits, as in a damaged file
  hexDump,        // 16 symbols and a newline in 61: 4-bit codes, a few of 5
  base64Lines,    // 64 symbols and a newline in 77: 6-bit codes, a few of 7
};

Bytes randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// Random bits under `counts`, cut `cut` bits short of the last byte's end.
CodedFile randomBitsUnder(const FrequencyTable& counts, std::size_t size, std::uint32_t seed,
                          unsigned cut) {
  return testing::fileOf(counts, randomBytes(size, seed), 8 * std::uint64_t{size} - cut);
}

CodedFile corpus(tools::CorpusKind kind, std::size_t size, std::uint32_t seed) {
  const Bytes data = tools::makeCorpus(kind, size, seed);
  return testing::encodeOrFail(tools::countBytes(data), data);
}

CodedFile caterpillar(std::size_t size, std::uint32_t seed) {
  FrequencyTable counts;
  counts.fill(INT32_MAX);  // every pairing wraps: a tree 255 levels deep
  NodeArena arena;
  const tools::CodeTable codes = tools::codesFromTree(buildTree(counts, arena));
  std::mt19937 random(seed);
  Bytes data(size);
  for (auto& byte : data) {
    do {
      byte = static_cast<std::uint8_t>(random());
    } while (codes[byte].length < 128 && random() % 4 != 0);
  }
  return testing::encodeOrFail(counts, data);
}

// `size` codes of the caterpillar tree: three 13-bit codes, which take a window's first lookups,
// then a 255-bit code, which its last lookup meets and a chain of 19 more finishes, over and over.
// Such a step reads about as far past its start as any step can, so the fast loop must stop that
// far short of the payload's end; random data almost never lines this up.
CodedFile farReads(std::size_t size) {
  FrequencyTable counts;
  counts.fill(INT32_MAX);
  NodeArena arena;
  const tools::CodeTable codes = tools::codesFromTree(buildTree(counts, arena));
  const auto symbolOfLength = [&codes](int length) {
    const auto code = std::find_if(codes.begin(), codes.end(),
                                   [length](const tools::Code& c) { return c.length == length; });
    return static_cast<std::uint8_t>(code - codes.begin());
  };
  const std::uint8_t pattern[] = {
      symbolOfLength(DecodeTable::kTableBits), symbolOfLength(DecodeTable::kTableBits),
      symbolOfLength(DecodeTable::kTableBits), symbolOfLength(static_cast<int>(kLongestCodeBits))};
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = pattern[i % std::size(pattern)];
  return testing::encodeOrFail(counts, data);
}

CodedFile randomTree(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  constexpr std::int32_t kMaxCounts[] = {1, 2, 3, 1000, INT32_MAX};  // all ties to wrapping sums
  const std::int32_t maxCount = kMaxCounts[random() % std::size(kMaxCounts)];
  FrequencyTable counts{};
  const std::size_t symbols = 2 + random() % 255;
  for (std::size_t i = 0; i < symbols; ++i) {
    counts[random() % 256] =
        1 + static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(maxCount));
  }
  return randomBitsUnder(counts, size, seed, random() % 8);
}

// Lines of `line` symbols drawn at random from `symbols` equiprobable ones, each line ended by a
// newline, encoded with exactly those proportions.
CodedFile nearFlat(std::size_t symbols, std::size_t line, std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = i % (line + 1) == line ? '\n' : static_cast<std::uint8_t>('0' + random() % symbols);
  }
  return testing::encodeOrFail(tools::countBytes(data), data);
}

CodedFile makeShape(Shape shape, std::size_t size, std::uint32_t seed) {
  using tools::CorpusKind;
  switch (shape) {
    case Shape::english:
      return corpus(CorpusKind::englishText, size, seed);
    case Shape::manPages:
      return corpus(CorpusKind::manPages, size, seed);
    case Shape::source:
      return corpus(CorpusKind::sourceCode, size, seed);
    case Shape::executable:
      return corpus(CorpusKind::executable, size, seed);
    case Shape::flat:
      return corpus(CorpusKind::randomBytes, size, seed);
    case Shape::geometric:
      return corpus(CorpusKind::skewedGeometric, size, seed);
    case Shape::fibonacci: {
      Bytes data = tools::makeCorpus(CorpusKind::fibonacciWeights, size, seed);
      for (std::uint8_t symbol = 0; symbol < 40; ++symbol) data.push_back(symbol);  // the deepest
      return testing::encodeOrFail(tools::fibonacciCounts(), data);
    }
    case Shape::caterpillar:
      return caterpillar(size, seed);
    case Shape::farReads:
      return farReads(size);
    case Shape::singleSymbol: {
      FrequencyTable counts{};
      counts['A'] = 4;
      return randomBitsUnder(counts, size, seed, 3);
    }
    case Shape::threeBits:
    case Shape::neverInStep: {
      const FrequencyTable counts =
          shape == Shape::threeBits ? testing::threeBitCounts() : testing::neverInStepCounts();
      return testing::encodeOrFail(counts, testing::randomSymbols(counts, size, seed));
    }
    case Shape::manyLongCodes:
      return randomBitsUnder(testing::manyLongCodesCounts(), size, seed, 0);
    case Shape::randomTree:
      return randomTree(size, seed);
    case Shape::hexDump:
      return nearFlat(16, 60, size, seed);
    case Shape::base64Lines:
      return nearFlat(64, 76, size, seed);
  }
  return {};
}

// The tree of a coded file and its tables, built once, with a root table of `rootBits`.
struct Tree {
  explicit Tree(const CodedFile& coded, int rootBits = DecodeTable::kTableBits)
      : root(buildTree(coded.counts, arena)) {
    EXPECT_TRUE(table.build(root, rootBits));
  }
  NodeArena arena;
  const TreeNode* root;
  DecodeTable table;
};

enum class Driver { oneThread, twoThreads };
enum class Source { memory, file };

// The judge's verdict on `bits` bits of the payload of `coded` decoded with a driver from a
// source. The file is cut just after the last byte those bits need, so that a read past it shows:
// from memory the file ends right before an inaccessible page, from a file a read past it comes
// back short. Two threads take segments of `segmentBits`.
std::string judgeRun(Driver driver, Source from, const Tree& tree, const CodedFile& coded,
                     const checks::Walk& walk, std::uint64_t bits, std::uint64_t segmentBits = 0) {
  const Bytes file(coded.file.begin(),
                   coded.file.begin() + static_cast<std::ptrdiff_t>(coded.offset + (bits + 7) / 8));
  std::optional<testing::ScratchFile> onDisk;
  std::optional<checks::GuardedRegion> guarded;
  std::optional<SourceStream> source;
  if (from == Source::memory) {
    guarded.emplace(file.size());
    EXPECT_TRUE(guarded->valid());
    source.emplace(guarded->copyEndingAtGuard(file));
  } else {
    onDisk.emplace(file);
    source.emplace(onDisk->file(), file.size());
    std::uint8_t first;  // the header stage leaves the buffer loaded from the start of the file
    EXPECT_TRUE(source->readByte(first));
  }
  checks::MemoryDestination memory;
  const Payload payload{*source, coded.offset, bits};
  if (driver == Driver::oneThread)
    return checks::checkFastDecode(tree.table, payload, walk, memory);
  const SegmentPlan plan{segmentBits, static_cast<std::uint32_t>(bits / segmentBits)};
  if (!fitsPlan(plan, bits)) {
    return "segments of " + std::to_string(segmentBits) + " bits do not fit " +
           std::to_string(bits) + " bits";
  }
  return checks::checkFastDecode(tree.table, payload, walk, memory, &plan);
}

checks::Walk walkOf(const Tree& tree, const CodedFile& coded, std::uint64_t bits) {
  return checks::Walk(tree.root, coded.payload(), bits);
}

// --- Every cut-off of short payloads -----------------------------------------------------------

// A tree shape and the sizes of the data (or of the payload, for random bits) made with it: short
// for every cut-off, long enough for blocks of lanes next to guard pages.
struct ShapeCase {
  const char* name;
  Shape shape;
  std::size_t everyCutOff;
  std::size_t guarded;
};
void PrintTo(const ShapeCase& c, std::ostream* out) { *out << c.name; }

// Text, executables, the byte translation, one symbol, codes up to 255 bits, one symbol per bit.
const ShapeCase kShapeCases[] = {
    {"english", Shape::english, 400, 40000},
    {"executable", Shape::executable, 300, 30000},
    {"flat", Shape::flat, 300, 20000},
    {"geometric", Shape::geometric, 900, 90000},
    {"fibonacci", Shape::fibonacci, 200, 30000},
    {"caterpillar", Shape::caterpillar, 12, 300},
    {"farReads", Shape::farReads, 48, 48},
    {"singleSymbol", Shape::singleSymbol, 40, 20000},
    {"manyLongCodes", Shape::manyLongCodes, 200, 20000},
    {"randomTree", Shape::randomTree, 300, 20000},
    {"hexDump", Shape::hexDump, 300, 60000},
    {"base64Lines", Shape::base64Lines, 300, 40000},
};

class EveryCutOff : public ::testing::TestWithParam<ShapeCase> {};

// With the full root table of the fast loops, and with the small one that short payloads get.
TEST_P(EveryCutOff, MatchesTheWalk) {
  CodedFile coded = makeShape(GetParam().shape, GetParam().everyCutOff, 5);
  // Padding of ones after the last code, so that a decoder that takes bits past bitCount shows.
  const auto total = 8 * (coded.file.size() - coded.offset);
  coded.file.back() |= static_cast<std::uint8_t>((1U << (total - coded.bits)) - 1);
  for (const int rootBits : {DecodeTable::kTableBits, DecodeTable::kSmallRootBits}) {
    const Tree tree(coded, rootBits);
    const checks::Walk walk = walkOf(tree, coded, total);
    // A small root decodes one code at a time, so the loops only matter for the full one.
    auto variants = testing::loopVariantsHere();
    if (rootBits != DecodeTable::kTableBits) variants.erase(variants.begin(), variants.end() - 1);
    for (const auto& variant : variants) {
      SCOPED_TRACE(::testing::Message() << "root of " << rootBits << " bits, " << variant.name);
      const testing::ForcedLoops forced(variant);
      for (std::uint64_t bits = 1; bits <= total; ++bits) {
        ASSERT_TRUE(judged(judgeRun(Driver::oneThread, Source::memory, tree, coded, walk, bits)))
            << "bitCount " << bits;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryCutOff, ::testing::ValuesIn(kShapeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RandomTrees, ShortPayloadsMatchTheWalk) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const CodedFile coded = makeShape(Shape::randomTree, 1 + seed * 13 % 4000, seed);
    const Tree tree(coded);
    ASSERT_TRUE(judged(judgeRun(Driver::oneThread, Source::memory, tree, coded,
                                walkOf(tree, coded, coded.bits), coded.bits)));
  }
}

// --- Long payloads through every driver and source ---------------------------------------------

struct LongCase {
  const char* name;
  Shape shape;
  std::size_t size;           // of the data, or of the payload for random bits
  std::uint64_t segmentBits;  // for two threads
};
void PrintTo(const LongCase& c, std::ostream* out) { *out << c.name; }

constexpr std::uint64_t kShort = kMinimumSegmentBits;

class LongPayloads : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongPayloads, EveryDriverAndSourceMatchesTheWalk) {
  const LongCase& c = GetParam();
  const CodedFile coded = makeShape(c.shape, c.size, 31);
  const Tree tree(coded);
  ASSERT_GE(coded.bits / c.segmentBits, 4U) << "too few segments to test joins";
  const checks::Walk walk = walkOf(tree, coded, coded.bits);
  for (const Driver driver : {Driver::oneThread, Driver::twoThreads}) {
    for (const Source from : {Source::memory, Source::file}) {
      SCOPED_TRACE(::testing::Message()
                   << (driver == Driver::oneThread ? "one" : "two") << " thread(s) from "
                   << (from == Source::memory ? "memory" : "a file"));
      ASSERT_TRUE(judged(judgeRun(driver, from, tree, coded, walk, coded.bits, c.segmentBits)));
    }
  }
  auto others = testing::loopVariantsHere();
  others.pop_back();  // the drivers above took this processor's own loops
  for (const auto& variant : others) {
    SCOPED_TRACE(variant.name);
    const testing::ForcedLoops forced(variant);
    ASSERT_TRUE(judged(judgeRun(Driver::oneThread, Source::memory, tree, coded, walk, coded.bits)));
  }
  {  // One code at a time through a small root table, as short payloads are decoded.
    SCOPED_TRACE("small root table");
    const Tree small(coded, DecodeTable::kSmallRootBits);
    ASSERT_TRUE(
        judged(judgeRun(Driver::oneThread, Source::memory, small, coded, walk, coded.bits)));
  }
  // The last segment ends exactly at bitCount, wherever that falls in a code.
  for (std::uint64_t cut = 1; cut <= 24; ++cut) {
    const std::uint64_t bits = coded.bits - cut;
    for (const Driver driver : {Driver::oneThread, Driver::twoThreads}) {
      ASSERT_TRUE(judged(judgeRun(driver, Source::file, tree, coded, walk, bits, c.segmentBits)))
          << "bitCount " << bits;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LongPayloads,
    ::testing::Values(
        LongCase{"english", Shape::english, 600000, kShort},
        LongCase{"englishOddSegments", Shape::english, 600000, kShort + 8 * 37},
        LongCase{"manPages", Shape::manPages, 400000, kShort * 2},
        LongCase{"source", Shape::source, 300000, kShort},
        LongCase{"executable", Shape::executable, 500000, kShort},
        LongCase{"flat", Shape::flat, 300000, kShort},
        LongCase{"geometric", Shape::geometric, 1500000, kShort},
        LongCase{"fibonacci", Shape::fibonacci, 1000000, kShort},
        LongCase{"caterpillar", Shape::caterpillar, 8000, kShort},
        LongCase{"singleSymbol", Shape::singleSymbol, 40000, kShort},
        // Segments a multiple of 24 bits apart: every guessed start is on a true boundary.
        LongCase{"threeBitsInStep", Shape::threeBits, 300000, kShort * 3},
        // Segments 8 bits off a multiple of 3, or codes never in step: no guess ever joins, so
        // every segment is decoded again from a true boundary until guessing stops.
        LongCase{"threeBitsNeverInStep", Shape::threeBits, 300000, kShort * 3 + 8},
        LongCase{"neverInStep", Shape::neverInStep, 400000, kShort},
        LongCase{"manyLongCodes", Shape::manyLongCodes, 200000, kShort},
        LongCase{"randomTree1", Shape::randomTree, 200000, kShort + 8},
        LongCase{"randomTree2", Shape::randomTree, 160000, kShort},
        LongCase{"hexDump", Shape::hexDump, 600000, kShort},
        LongCase{"base64Lines", Shape::base64Lines, 400000, kShort + 8}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Right against inaccessible pages ----------------------------------------------------------

class GuardPages : public ::testing::TestWithParam<ShapeCase> {};

// The payload's last byte right before an inaccessible page, and the output memory ending before
// another kStoreOverrun bytes after the last symbol, the most a store may write past it, and no
// more than the room the decoder asks for; at every alignment of the payload's end to the 8-byte
// loads and stores and at every bit of its last byte: a loop that reads or writes one byte too
// far faults, in any build. (The drivers read from memory before a guard page in every test
// above.)
TEST_P(GuardPages, NothingIsReadOrWrittenPastEitherEnd) {
  const CodedFile coded = makeShape(GetParam().shape, GetParam().guarded, 41);
  const Tree tree(coded);
  const std::span<const std::uint8_t> payload = coded.payload();
  const std::uint64_t total = 8 * payload.size();
  const checks::Walk walk = walkOf(tree, coded, total);
  checks::GuardedRegion input(payload.size());
  checks::GuardedRegion output(walk.symbols().size() + kStoreOverrun);
  ASSERT_TRUE(input.valid() && output.valid());
  for (const auto& variant : testing::loopVariantsHere()) {
    SCOPED_TRACE(variant.name);
    const testing::ForcedLoops forced(variant);
    SpanDecoder decoder(tree.table, total);
    for (std::size_t trim = 0; trim < 8; ++trim) {
      const std::span<const std::uint8_t> bytes =
          input.copyEndingAtGuard(payload.first(payload.size() - trim));
      for (unsigned spare = 0; spare < 8; ++spare) {
        const std::uint64_t bits = 8 * bytes.size() - spare;
        SCOPED_TRACE(::testing::Message() << "bitCount " << bits);
        const std::span<const std::uint8_t> expected = walk.by(bits);
        const std::span<std::uint8_t> room = output.endingAtGuard(expected.size() + kStoreOverrun);
        // The drivers size their rooms as the decoder asks: that must hold all this one may write.
        ASSERT_GE(decoder.outputRoom(bits), room.size()) << "the room asked for is too small";
        const SpanResult span = decoder.decode(bytes, 0, bits, SpanEnd::payloadEnd, room.data());
        // Everything up to bitCount, and not a bit past the last code that ends by then.
        const std::span<const std::uint8_t> got(room.data(), span.out);
        ASSERT_TRUE(judged(checks::judgeStop(walk, span.next, got)));
        ASSERT_TRUE(sameBytes(got, expected));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, GuardPages, ::testing::ValuesIn(kShapeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Whole files through the tool's own call ---------------------------------------------------

struct FileCase {
  const char* name;
  Shape shape;
  std::size_t size;
  std::uint32_t seed;
};
void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class WholeFiles : public ::testing::TestWithParam<FileCase> {};

// Files of several MiB: read through many refills of the source buffer, and on two threads where
// the machine has two processors, as the tool restores them.
TEST_P(WholeFiles, RestoreAsTheWalkDoes) {
  const CodedFile coded = makeShape(GetParam().shape, GetParam().size, GetParam().seed);
  ASSERT_GE(coded.bits / 8, 8 * SourceStream::kBufferSize) << "too small";
  const Tree tree(coded);
  const testing::TempDir dir;
  testing::writeBytes(dir / "in.rvm", coded.file);
  ASSERT_EQ(decompressFile((dir / "in.rvm").string().c_str(), (dir / "out").string().c_str()),
            DecodeStatus::success);
  EXPECT_TRUE(
      sameBytes(testing::readBytes(dir / "out"), walkOf(tree, coded, coded.bits).symbols()));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WholeFiles,
    ::testing::Values(FileCase{"english", Shape::english, std::size_t{5} << 20, 21},
                      FileCase{"executable", Shape::executable, std::size_t{4} << 20, 21},
                      FileCase{"flat", Shape::flat, std::size_t{3} << 20, 21},
                      FileCase{"geometric", Shape::geometric, std::size_t{12} << 20, 21},
                      FileCase{"fibonacci", Shape::fibonacci, std::size_t{12} << 20, 22},
                      FileCase{"threeBits", Shape::threeBits, std::size_t{7} << 20, 23},
                      FileCase{"neverInStep", Shape::neverInStep, std::size_t{7} << 20, 23},
                      FileCase{"hexDump", Shape::hexDump, std::size_t{6} << 20, 24},
                      FileCase{"base64Lines", Shape::base64Lines, std::size_t{5} << 20, 25},
                      FileCase{"randomTree1", Shape::randomTree, std::size_t{1300} << 10, 1},
                      FileCase{"randomTree2", Shape::randomTree, std::size_t{1400} << 10, 2},
                      FileCase{"randomTree3", Shape::randomTree, std::size_t{1200} << 10, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Fed in pieces, through the streaming call -------------------------------------------------

// How a program feeds the streaming call: piece sizes and room sizes, each drawn in turn from a
// list (at random when `shuffled`).
struct Feed {
  const char* name;
  std::vector<std::size_t> pieces;
  std::vector<std::size_t> rooms;
  bool shuffled = false;
  bool small = false;  // a byte or two at a time: run on the short file only
};

constexpr std::size_t kKiB = 1024;
const Feed kFeeds[] = {
    {"bytes into bytes", {1}, {1}, false, true},
    {"two bytes into seven", {2}, {7}, false, true},
    {"seven bytes into rooms of 1 to 97", {7}, {1, 2, 5, 33, 34, 35, 97}, true, true},
    {"64 KiB into 256 KiB", {64 * kKiB}, {256 * kKiB}},
    {"primes into primes", {65521, 4093, 131, 2}, {1, 34, 4099, 65537, 262147}, true},
    {"mixed", {1, 2, 7, 64 * kKiB, 1 << 20, 97}, {1, 3, 64, 8 * kKiB, 256 * kKiB, 4 << 20}, true},
    {"all at once into plenty", {SIZE_MAX}, {64 << 20}},
};

// Every shape of the suite, short (for a byte at a time) and long enough for blocks of lanes in
// 64 KiB pieces.
struct StreamShape {
  const char* name;
  Shape shape;
  std::size_t shortSize;
  std::size_t longSize;
};
void PrintTo(const StreamShape& c, std::ostream* out) { *out << c.name; }

const StreamShape kStreamShapes[] = {
    {"english", Shape::english, 30000, 400000},
    {"manPages", Shape::manPages, 30000, 300000},
    {"source", Shape::source, 30000, 300000},
    {"executable", Shape::executable, 30000, 300000},
    {"flat", Shape::flat, 20000, 300000},
    {"geometric", Shape::geometric, 60000, 900000},
    {"fibonacci", Shape::fibonacci, 20000, 600000},
    {"caterpillar", Shape::caterpillar, 300, 3000},
    {"farReads", Shape::farReads, 48, 4000},
    {"singleSymbol", Shape::singleSymbol, 5000, 60000},
    {"threeBits", Shape::threeBits, 30000, 300000},
    {"neverInStep", Shape::neverInStep, 30000, 300000},
    {"manyLongCodes", Shape::manyLongCodes, 20000, 200000},
    {"randomTree", Shape::randomTree, 20000, 200000},
    {"hexDump", Shape::hexDump, 30000, 400000},
    {"base64Lines", Shape::base64Lines, 30000, 400000},
};

// Draws sizes from a feed's list, in turn or at random.
struct Draw {
  const std::vector<std::size_t>& sizes;
  bool shuffled;
  std::mt19937& random;
  std::size_t next = 0;
  std::size_t operator()() {
    return sizes[shuffled ? random() % sizes.size() : next++ % sizes.size()];
  }
};

class Streamed : public ::testing::TestWithParam<StreamShape> {};

// Whatever the pieces and rooms, the walk's output, the bytes after the payload left untaken,
// and one decoder serving every file in turn through reset.
TEST_P(Streamed, MatchesTheWalkInPiecesOfEverySize) {
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  ASSERT_NE(decoder, nullptr);
  const Bytes trailer = {'n', 'e', 'x', 't'};
  for (const bool isShort : {true, false}) {
    CodedFile coded =
        makeShape(GetParam().shape, isShort ? GetParam().shortSize : GetParam().longSize, 9);
    const Tree tree(coded);
    const Bytes reference = testing::walkPayload(tree.root, coded.payload(), coded.bits);
    coded.file.resize(static_cast<std::size_t>(coded.offset + (coded.bits + 7) / 8));
    coded.file.insert(coded.file.end(), trailer.begin(), trailer.end());
    for (const Feed& feed : kFeeds) {
      if (feed.small && !isShort) continue;
      SCOPED_TRACE(::testing::Message() << feed.name << ", " << coded.file.size() << " bytes");
      std::mt19937 random(7);
      ravmolt_decoder_reset(decoder);
      const checks::StreamRun run =
          checks::feedStream(decoder, coded.file, Draw{feed.pieces, feed.shuffled, random},
                             Draw{feed.rooms, feed.shuffled, random});
      ASSERT_EQ(run.broken, "");
      ASSERT_EQ(run.status, RAVMOLT_SUCCESS);
      ASSERT_TRUE(sameBytes(run.output, reference));
      EXPECT_EQ(run.unused, trailer.size());
    }
  }
  ravmolt_decoder_free(decoder);
}

// A file cut anywhere in its payload: truncated, after exactly the codes that end in the bytes
// that came; cut in its header or table: invalid, with nothing restored.
TEST_P(Streamed, ACutFileRestoresTheCodesThatCame) {
  const CodedFile coded =
      makeShape(GetParam().shape, std::min<std::size_t>(GetParam().shortSize, 3000), 3);
  const Tree tree(coded);
  const std::uint64_t total = 8 * coded.payload().size();
  const checks::Walk walk = walkOf(tree, coded, total);
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  ASSERT_NE(decoder, nullptr);
  std::mt19937 random(5);
  const std::vector<std::size_t> pieces = {1, 7, 64 * kKiB};
  const std::vector<std::size_t> rooms = {1, 40, 64 * kKiB};
  for (std::size_t kept = 0; kept < coded.file.size() - 1; kept += 1 + kept / 64) {
    SCOPED_TRACE(::testing::Message() << kept << " bytes of " << coded.file.size());
    ravmolt_decoder_reset(decoder);
    const checks::StreamRun run =
        checks::feedStream(decoder, std::span(coded.file).first(kept), Draw{pieces, true, random},
                           Draw{rooms, true, random});
    ASSERT_EQ(run.broken, "");
    if (kept < coded.offset) {
      ASSERT_EQ(run.status, RAVMOLT_INVALID_FORMAT);
      ASSERT_TRUE(run.output.empty());
      continue;
    }
    ASSERT_EQ(run.status, RAVMOLT_TRUNCATED);
    EXPECT_EQ(run.unused, 0U);
    const std::uint64_t bits = std::min(8 * (kept - coded.offset), coded.bits);
    ASSERT_TRUE(sameBytes(run.output, walk.by(bits)));
  }
  ravmolt_decoder_free(decoder);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Streamed, ::testing::ValuesIn(kStreamShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Failures in mid-run -----------------------------------------------------------------------

TEST(Failures, ARefusedWriteStopsEitherDriverPromptly) {
  const CodedFile coded = makeShape(Shape::english, std::size_t{16} << 20, 24);
  const Tree tree(coded);
  testing::ScratchFile file(coded.file);
  const checks::Walk walk = walkOf(tree, coded, coded.bits);
  const SegmentPlan plan = planSegments(tree.table.shape(), coded.bits);
  for (const SegmentPlan* segments : {static_cast<const SegmentPlan*>(nullptr), &plan}) {
    SourceStream source(file.file(), coded.file.size());
    checks::MemoryDestination memory;
    const Payload payload{source, coded.offset, coded.bits};
    // writeFailed, with what was handed on the start of the true output.
    EXPECT_TRUE(judged(checks::checkFastDecode(tree.table, payload, walk, memory, segments,
                                               std::size_t{1} << 20)));
    // Given up soon after the refusal, far from the end of the 16 MiB of output.
    EXPECT_LT(memory.produced(), std::uint64_t{4} << 20);
  }
}

TEST(Failures, ASourceShorterThanCheckedIsInvalidForEitherDriver) {
  // The source was measured at its full size, then lost the second half of its payload.
  const CodedFile coded = makeShape(Shape::english, 600000, 25);
  const Tree tree(coded);
  const std::size_t kept = static_cast<std::size_t>(coded.offset) + coded.payload().size() / 2;
  testing::ScratchFile file(std::span(coded.file).first(kept));
  const checks::Walk walk = walkOf(tree, coded, coded.bits);
  for (const Driver driver : {Driver::oneThread, Driver::twoThreads}) {
    SourceStream source(file.file(), coded.file.size());
    checks::MemorySink sink;
    DestinationStream destination(&checks::MemorySink::take, &sink);
    const Payload payload{source, coded.offset, coded.bits};
    const auto status =
        driver == Driver::oneThread
            ? decodeOnOneThread(tree.table, payload, destination)
            : decodeOnTwoThreads(tree.table, payload, destination,
                                 {kShort, static_cast<std::uint32_t>(coded.bits / kShort)});
    EXPECT_EQ(status, DecodeStatus::invalidFormat);
    EXPECT_TRUE(destination.flush());
    // Whatever was handed on is the start of the true output.
    ASSERT_LE(sink.bytes.size(), walk.symbols().size());
    EXPECT_TRUE(sameBytes(sink.bytes, walk.symbols().first(sink.bytes.size())));
  }
}

// The judge itself: a walk into a destination that refuses says so, as the decoders do.
TEST(Failures, TheReferenceWalkReportsARefusedWrite) {
  const CodedFile coded = makeShape(Shape::english, 2 * DestinationStream::kBufferSize, 26);
  const Tree tree(coded);
  SourceStream source(coded.payload());
  BitReader reader(source);
  checks::MemorySink sink;
  sink.cap = 1000;
  DestinationStream destination(&checks::MemorySink::take, &sink);
  EXPECT_EQ(walkTree(tree.root, reader, static_cast<std::int32_t>(coded.bits), destination),
            DecodeStatus::writeFailed);
}

}  // namespace
}  // namespace ravmolt
