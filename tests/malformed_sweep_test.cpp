// A deterministic sweep of damaged and extreme files. Every input comes from a well-formed seed:
// each of its truncations, every bit of its header and table flipped (checksum re-fixed, and
// not), and a grid of extreme header values. The decode of each must match the reference
// decoder exactly: the reference output for a well-formed file, invalidFormat with nothing
// written for anything else. A representative subset also runs through the real executable.
#include "tests/malformed_sweep.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "fuzz/reference_decode.h"
#include "fuzz/stream_feed.h"
#include "tests/test_file.h"
#include "tests/tool_process.h"

namespace ravmolt {
namespace {

using namespace sweep;
using testing::Bytes;

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

// The same inputs through the streaming call, in pieces of a few sizes and into rooms of a few
// sizes: a cut payload is truncated after the codes that came, and anything else invalid is
// found before any output.
TEST(MalformedSweep, EveryDamagedFileStreamsLikeTheReference) {
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  ASSERT_NE(decoder, nullptr);
  std::mt19937 random(3);
  const std::size_t sizes[] = {1, 2, 7, 64 << 10};
  const auto draw = [&] { return sizes[random() % std::size(sizes)]; };
  std::size_t truncated = 0;
  for (const Seed& seed : seeds()) {
    std::size_t failures = 0;
    for (const Bytes& input : damagedVersions(seed.bytes)) {
      ravmolt_decoder_reset(decoder);
      const checks::StreamRun run = checks::feedStream(decoder, input, draw, draw);
      if (run.status == RAVMOLT_TRUNCATED) ++truncated;
      const std::string difference = checks::judgeStream(run, input);
      if (!difference.empty() && ++failures <= 5) {
        ADD_FAILURE() << seed.name << ", input of " << input.size() << " bytes: " << difference;
      }
    }
    EXPECT_EQ(failures, 0u) << seed.name;
  }
  EXPECT_GT(truncated, 500u);
  ravmolt_decoder_free(decoder);
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
