// A deterministic sweep of damaged and extreme files. Every input comes from a well-formed seed:
// each of its truncations, every bit of its header and table flipped (checksum re-fixed, and
// not), and a grid of extreme header values. The decode of each must match the reference
// decoder exactly: the reference output for a well-formed file, invalidFormat with nothing
// written for anything else. A representative subset also runs through the real executable.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include "fuzz/reference_decode.h"
#include "tests/test_file.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using testing::Bytes;

struct Seed {
  std::string name;
  Bytes bytes;
};

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::int32_t bitCountOf(const Bytes& file) { return parseHeader(file.data()).bitCount; }
std::int16_t tableSizeOf(const Bytes& file) { return parseHeader(file.data()).tableSize; }

// Rewrites the header fields in place; the checksum follows them unless `checksum` is given.
void setHeader(Bytes& file, std::int32_t bitCount, std::int16_t tableSize,
               std::optional<std::uint8_t> checksum = std::nullopt) {
  file = testing::withHeader(std::move(file), bitCount, tableSize, checksum);
}

std::vector<Seed> seeds() {
  std::vector<Seed> all;
  all.push_back({"sample", testing::readBytes(RAVMOLT_SAMPLES_DIR "/lighthouse.rvm")});
  all.push_back({"abracadabra", {0x30, 0x17, 0, 0,    0, 0x19, 0, 0x61, 5,    0,    0,    0,
                                 0x62, 2,    0, 0,    0, 0x63, 1, 0,    0,    0,    0x64, 1,
                                 0,    0,    0, 0x72, 2, 0,    0, 0,    0x6E, 0x8A, 0xDC}});
  all.push_back({"singleSymbolWithFiller", {0x0A, 5, 0, 0, 0, 5, 0, 0x61, 4, 0, 0, 0, 0x08}});
  all.push_back({"twoSymbolsOneBitCodes",
                 testing::TestFile().entry('a', 1).entry('b', 1).bits("0110 1001 1").bytes()});
  // Every pairing of 256 counts of INT32_MAX wraps: codes up to 255 bits long.
  FrequencyTable deep;
  deep.fill(INT32_MAX);
  Bytes everyByte;
  for (int b = 255; b >= 0; --b) everyByte.push_back(static_cast<std::uint8_t>(b));
  all.push_back({"deepTree", tools::encodeWithTable(deep, everyByte).value()});
  // tableSize 22: the fifth entry ('r', 2) reads three bytes past the table, which are the
  // first payload bytes, zero; so the payload starts with 24 zero bits, 24 codes of 'a'.
  all.push_back({"tableSizeNotMultipleOfFive", testing::TestFile()
                                                   .entry('a', 5)
                                                   .entry('b', 2)
                                                   .entry('c', 1)
                                                   .entry('d', 1)
                                                   .entry('r', 2)
                                                   .tableSize(22)
                                                   .payloadBytes({0x6E, 0x8A, 0xDC})
                                                   .bitCount(24 + 23)
                                                   .bytes()});
  // tableSize 1: one entry whose count is the first four payload bytes, 0x15555555.
  all.push_back({"tableSizeOne", testing::TestFile()
                                     .tableSize(1)
                                     .payloadBytes({'A', 0x55, 0x55, 0x55, 0x15, 0xF0})
                                     .bitCount(38)
                                     .bytes()});
  all.push_back({"emptyData", tools::encode({}).value()});
  all.push_back({"descendingTable",
                 tools::encode(text("mississippi river"), tools::TableOrder::descending).value()});
  return all;
}

std::vector<std::int32_t> bitCountGrid(const Bytes& seed) {
  const std::int64_t actual = bitCountOf(seed);
  const std::int64_t payloadBits = 8 * (static_cast<std::int64_t>(seed.size()) - 7 -
                                        std::max<std::int64_t>(tableSizeOf(seed), 0));
  std::set<std::int64_t> values = {
      INT32_MIN, INT32_MIN + 1, INT32_MIN + 256, -65536,        -256,     -255, -1, 0, 1, 2, 7, 8,
      9,         1 << 24,       INT32_MAX - 256, INT32_MAX - 1, INT32_MAX};
  for (std::int64_t delta : {-9, -8, -7, -1, 0, 1, 7, 8, 9}) {
    values.insert(actual + delta);
    values.insert(payloadBits + delta);
  }
  std::vector<std::int32_t> grid;
  for (std::int64_t v : values) {
    if (v >= INT32_MIN && v <= INT32_MAX) grid.push_back(static_cast<std::int32_t>(v));
  }
  return grid;
}

std::vector<std::int16_t> tableSizeGrid(const Bytes& seed) {
  const std::int64_t actual = tableSizeOf(seed);
  std::set<std::int64_t> values = {-32768, -32767, -1280, -5,   -1,   0,     1,    4,
                                   5,      6,      1279,  1280, 1281, 32766, 32767};
  for (std::int64_t delta : {-6, -5, -4, -1, 0, 1, 4, 5, 6}) values.insert(actual + delta);
  std::vector<std::int16_t> grid;
  for (std::int64_t v : values) {
    if (v >= INT16_MIN && v <= INT16_MAX) grid.push_back(static_cast<std::int16_t>(v));
  }
  return grid;
}

// Every input the sweep builds from `seed`, the seed itself first.
std::vector<Bytes> damagedVersions(const Bytes& seed) {
  std::vector<Bytes> inputs{seed};
  for (std::size_t length = 0; length < seed.size(); ++length) {
    inputs.emplace_back(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(length));
  }
  // The header and table bytes, and the up to four payload bytes a last entry can run into; of
  // a long table, its first and last entries, since each flip costs a whole decode.
  const std::size_t tableEnd = std::min<std::size_t>(
      seed.size(), kHeaderSize + static_cast<std::size_t>(std::max<int>(tableSizeOf(seed), 0)) + 4);
  for (std::size_t at = 0; at < tableEnd; ++at) {
    if (at >= kHeaderSize + 64 && at + 16 < tableEnd) continue;
    for (int bit = 0; bit < 8; ++bit) {
      Bytes flipped = seed;
      flipped[at] ^= static_cast<std::uint8_t>(1U << bit);
      inputs.push_back(flipped);
      if (at == 0) continue;
      setHeader(flipped, bitCountOf(flipped), tableSizeOf(flipped));
      inputs.push_back(flipped);
    }
  }
  for (std::int32_t bitCount : bitCountGrid(seed)) {
    for (std::int16_t tableSize : tableSizeGrid(seed)) {
      Bytes edited = seed;
      setHeader(edited, bitCount, tableSize);
      inputs.push_back(edited);
      // A negative sum passes only with a zero remainder and a zero checksum byte.
      setHeader(edited, bitCount, tableSize, 0);
      inputs.push_back(edited);
    }
  }
  return inputs;
}

TEST(MalformedSweep, ReferenceAgreesWithKnownFiles) {
  // The judge itself, on files whose outcome is known without it.
  const std::vector<Seed> all = seeds();
  EXPECT_EQ(checks::referenceDecode(all[1].bytes).output, text("abracadabra"));
  EXPECT_EQ(checks::referenceDecode(all[2].bytes).output, text("aaaa "));
  EXPECT_EQ(checks::referenceDecode(all[3].bytes).output, text("abbabaabb"));
  EXPECT_EQ(checks::referenceDecode(all[5].bytes).output, Bytes(24, 'a') + text("abracadabra"));
  EXPECT_EQ(checks::referenceDecode(all[6].bytes).output.size(), 38u);
  Bytes cut = all[1].bytes;
  setHeader(cut, 25, 25);  // bits beyond the payload
  EXPECT_FALSE(checks::referenceDecode(cut).valid);
  setHeader(cut, 21, 25);  // two bits of a three-bit code produce nothing
  EXPECT_EQ(checks::referenceDecode(cut).output, text("abracadab"));
  EXPECT_FALSE(checks::referenceDecode(Bytes(6, 0)).valid);
  EXPECT_TRUE(checks::referenceDecode(Bytes(7, 0)).valid);
}

TEST(MalformedSweep, EveryDamagedFileDecodesLikeTheReference) {
  std::size_t inputs = 0;
  std::size_t wellFormed = 0;
  checks::MemoryDestination referenceMemory;
  checks::MemoryDestination productionMemory;
  for (const Seed& seed : seeds()) {
    ASSERT_TRUE(checks::referenceDecode(seed.bytes).valid) << seed.name;
    std::size_t failures = 0;
    for (const Bytes& input : damagedVersions(seed.bytes)) {
      const checks::Expected expected = checks::referenceDecode(input, referenceMemory);
      const checks::Outcome outcome = checks::productionDecode(input, productionMemory);
      const std::string difference = checks::compareWithReference(outcome, expected);
      ++inputs;
      if (expected.valid) ++wellFormed;
      if (!difference.empty() && ++failures <= 5) {
        ADD_FAILURE() << seed.name << ", input of " << input.size() << " bytes, bitCount "
                      << (input.size() >= 7 ? bitCountOf(input) : 0) << ": " << difference;
      }
    }
    EXPECT_EQ(failures, 0u) << seed.name;
  }
  // Both outcomes must be well represented, or the sweep proves little.
  EXPECT_GT(wellFormed, 500u);
  EXPECT_GT(inputs - wellFormed, 10000u);
  RecordProperty("inputs", static_cast<int>(inputs));
  RecordProperty("wellFormed", static_cast<int>(wellFormed));
  std::printf("[ sweep    ] %zu inputs, %zu well-formed, %zu invalid\n", inputs, wellFormed,
              inputs - wellFormed);
}

// A representative subset through the real executable, from files on disk: the transcript, the
// exit status, the destination (emptied of its old contents, or the exact output) and the source.
TEST(MalformedSweep, ExecutableSubsetKeepsTheAgreedBehaviour) {
  testing::TempDir dir;
  const auto source = dir / "source.rvm";
  const auto destination = dir / "restored";
  std::size_t runs = 0;
  for (const Seed& seed : seeds()) {
    const Bytes& s = seed.bytes;
    std::vector<Bytes> inputs{s};
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{6}, std::size_t{7},
                               kHeaderSize + 4, s.size() - 1}) {
      if (length < s.size())
        inputs.emplace_back(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(length));
    }
    const std::int16_t table = tableSizeOf(s);
    for (auto [bits, size] : {std::pair<std::int32_t, std::int16_t>{INT32_MAX, table},
                              {INT32_MIN, table},
                              {bitCountOf(s) + 9, table},
                              {bitCountOf(s), -32768},
                              {bitCountOf(s), 32767},
                              {bitCountOf(s), static_cast<std::int16_t>(table + 1)},
                              {-1, table}}) {
      Bytes edited = s;
      setHeader(edited, bits, size);
      inputs.push_back(edited);
    }
    Bytes flipped = s;
    flipped[1] ^= 0x10;
    inputs.push_back(flipped);

    for (const Bytes& input : inputs) {
      SCOPED_TRACE(seed.name + ", " + std::to_string(input.size()) + " bytes");
      const checks::Expected expected = checks::referenceDecode(input);
      testing::writeBytes(source, input);
      testing::writeBytes(destination, text("stale contents, longer than some outputs"));
      const testing::RunResult run = testing::runTool({source.string(), destination.string()});
      ++runs;
      EXPECT_TRUE(run.exited);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(testing::readBytes(source), input);
      if (expected.valid) {
        EXPECT_EQ(run.out, testing::successTranscript());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(testing::readBytes(destination), expected.output);
      } else {
        EXPECT_EQ(run.out, testing::invalidTranscript());
        EXPECT_EQ(run.exitCode, 1);
        ASSERT_TRUE(std::filesystem::exists(destination));
        EXPECT_EQ(std::filesystem::file_size(destination), 0u);
      }
    }
  }
  std::printf("[ sweep    ] %zu runs of the executable\n", runs);
}

}  // namespace
}  // namespace ravmolt
