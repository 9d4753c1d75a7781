// What both end-to-end suites of the real executable give it, on every system: the hand-built
// "abracadabra" file, a large source of skewed bytes with its data, and the rows of their tables
// of runs that mean the same on each.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/temp_folder.h"
#include "tests/test_file.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt::testing {

inline Bytes prefix(const Bytes& bytes, std::size_t n) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)};
}

inline const Bytes kAbracadabra = abracadabraFile();

// Skewed bytes, so that their codes take many lengths; enough for several source and destination
// buffers and for several segments of the two-thread decoder.
constexpr std::size_t kLargeSize = 1'500'000;
inline const Bytes& largeData() {
  static const Bytes data = [] {
    std::mt19937 random(12345);
    std::geometric_distribution<int> skewed(0.05);
    Bytes bytes(kLargeSize);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(skewed(random));
    return bytes;
  }();
  return data;
}
inline const Bytes& largeSource() {
  static const Bytes encoded = tools::encode(largeData()).value();
  return encoded;
}

// The files of the private folder that every RunCase row runs in (see below).
inline void fillRunFolder(const std::filesystem::path& dir) {
  writeBytes(dir / "abra.rvm", kAbracadabra);
  writeBytes(dir / "large.rvm", largeSource());
  std::filesystem::create_hard_link(dir / "abra.rvm", dir / "hard.rvm");
  std::filesystem::create_directory(dir / "folder");
  writeBytes(dir / "folder" / "inside", {1, 2, 3});
}

// After any run: the folder's own files unchanged.
inline void expectRunFolderIntact(const std::filesystem::path& dir) {
  EXPECT_EQ(readBytes(dir / "abra.rvm"), kAbracadabra);
  EXPECT_TRUE(readBytes(dir / "large.rvm") == largeSource()) << "large.rvm changed";
  EXPECT_EQ(readBytes(dir / "folder" / "inside"), (Bytes{1, 2, 3}));
}

// One run of the command in a private folder that holds abra.rvm, large.rvm, hard.rvm (a hard
// link to abra.rvm) and a folder, and, as the row asks, in.rvm and an older out: its arguments
// ("@" then a separator starts a path in the folder), its console text and exit status, and what
// out (none: no out at all) and in.rvm hold afterwards.
struct RunCase {
  const char* name;
  std::vector<std::string> args;
  std::string transcript;
  int exitCode;
  std::optional<Bytes> out;
  std::optional<Bytes> in = std::nullopt;
  std::optional<Bytes> before = std::nullopt;
  std::uint64_t node = 0;  // where device nodes exist: the device of one made as "node" first
};
inline void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

inline RunCase unwritableRun(const char* name, std::string source, std::string destination) {
  return {name, {std::move(source), std::move(destination)}, unableToWriteTranscript(), 1, {}};
}

// An older, longer destination, emptied all the same by an invalid source.
inline const Bytes kStaleDestination(5000, 'x');

inline RunCase invalidFileRun(const char* name, Bytes file) {
  return {name,    {"in.rvm", "out"}, invalidTranscript(), 1,
          Bytes{}, std::move(file),   kStaleDestination};
}

// The rows whose arguments are the same on every system.
inline std::vector<RunCase> runsOnEverySystem() {
  const std::string usage = usageTranscript();
  const std::string done = successTranscript();
  const std::string notFound = fileNotFoundTranscript();
  const std::string sample = RAVMOLT_SAMPLES_DIR "/lighthouse";
  const Bytes longer(2 * kLargeSize + 12345, 0xEE);
  const Bytes badChecksum = TestFile().bits("0").checksum(0x42).bytes();
  const Bytes manyA = TestFile().entry('a', 1).payloadBytes(Bytes(1000, 0)).bitCount(8000).bytes();
  const Bytes& stale = kStaleDestination;
  return {
      {"noArguments", {}, usage, 1, {}},
      {"oneArgument", {"abra.rvm"}, usage, 1, {}},
      {"threeArguments", {"abra.rvm", "out", "x"}, usage, 1, {}},

      {"success", {"abra.rvm", "out"}, done, 0, bytesOf("abracadabra")},
      {"largeAcrossStreamBuffers", {"large.rvm", "out"}, done, 0, largeData()},
      {"longerDestinationReplaced", {"large.rvm", "out"}, done, 0, largeData(), {}, longer},
      {"bundledSample", {sample + ".rvm", "out"}, done, 0, readBytes(sample + ".txt")},
      {"headerOnlyRestoresNothing", {"in.rvm", "out"}, done, 0, Bytes{}, Bytes(7, 0), stale},

      {"missingSource", {"missing.rvm", "out"}, notFound, 1, {}},
      {"sourceIsAFolder", {"folder", "out"}, notFound, 1, {}},

      unwritableRun("destinationIsAFolder", "abra.rvm", "folder"),
      unwritableRun("emptyDestinationName", "abra.rvm", ""),
      // The destination names the source itself.
      unwritableRun("samePath", "abra.rvm", "abra.rvm"),
      unwritableRun("hardLink", "abra.rvm", "hard.rvm"),

      {"badChecksumCreatesAnEmptyFile",
       {"in.rvm", "out"},
       invalidTranscript(),
       1,
       Bytes{},
       badChecksum},
      invalidFileRun("emptySource", {}),
      invalidFileRun("headerCutShort", prefix(kAbracadabra, 6)),
      invalidFileRun("tableCutShort", prefix(kAbracadabra, 20)),
      invalidFileRun("bitsWithoutCodes", TestFile().entry('a', 0).bits("0101").bytes()),
      invalidFileRun("payloadShortByOneByte", prefix(manyA, manyA.size() - 1)),
      invalidFileRun("payloadShortByOneBit",
                     TestFile().entry('a', 2).bits("00000000").bitCount(9).bytes()),
  };
}

}  // namespace ravmolt::testing
