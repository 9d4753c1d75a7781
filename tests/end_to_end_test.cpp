// The real ravmolt executable, run in a private folder: exact console text, exit status, and what
// happens to the files on every path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/messages.h"
#include "tests/test_file.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

namespace fs = std::filesystem;
using ::ravmolt::testing::TestFile;
using Bytes = std::vector<std::uint8_t>;

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 1000 + the signal that ended the process
};

struct RunOptions {
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE in the child, with SIGXFSZ ignored
};

// Runs ravmolt with `args` in `folder` and collects stdout and stderr separately.
ToolRun runTool(const std::vector<std::string>& args, const fs::path& folder,
                RunOptions options = {}) {
  const std::string cwd = folder.string();
  const testing::RunResult result = testing::runTool(args, [&cwd, &options] {
    if (::chdir(cwd.c_str()) != 0) return false;
    if (!options.fileSizeLimit) return true;
    const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
    ::signal(SIGXFSZ, SIG_IGN);  // an ignored signal stays ignored across exec
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  });
  return {result.out, result.err, result.exited ? result.exitCode : 1000 + result.signal};
}

// The whole expected stdout: the banner, then `fourthLine` and its line end.
std::string transcript(std::string_view fourthLine) {
  std::string text;
  for (std::string_view line : messages::kBanner) (text += line) += '\n';
  return (text += fourthLine) += '\n';
}
std::string working(std::string_view result) { return std::string(messages::kWorking) += result; }
std::string invalidTranscript() {
  return transcript(working(std::string(messages::kInvalidFormat) += messages::kDone));
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
std::optional<Bytes> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes{std::istreambuf_iterator<char>(in), {}};
}
Bytes bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

const Bytes kAbracadabra = TestFile()
                               .entry('a', 5)
                               .entry('b', 2)
                               .entry('c', 1)
                               .entry('d', 1)
                               .entry('r', 2)
                               .bits("0 110 111 0 100 0 101 0 110 111 0")
                               .bytes();

// A single-symbol file restoring `count` bytes 'a' (count a multiple of 8).
Bytes manyA(std::int32_t count) {
  return TestFile()
      .entry('a', 1)
      .payloadBytes(Bytes(static_cast<std::size_t>(count) / 8, 0))
      .bitCount(count)
      .bytes();
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ravmolt-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    writeFile(dir_ / "good.rvm", kAbracadabra);
    writeFile(dir_ / "bad.rvm", TestFile().bits("0").checksum(0x42).bytes());
    fs::create_directory(dir_ / "subdir");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs the tool in the private folder; nothing may ever reach stderr.
  ToolRun tool(const std::vector<std::string>& args, RunOptions options = {}) {
    ToolRun run = runTool(args, dir_, options);
    EXPECT_EQ(run.err, "");
    return run;
  }

  fs::path dir_;
};

struct TranscriptRow {
  const char* name;
  std::vector<std::string> args;
  std::string stdoutText;
  int status;
  std::optional<std::string> out;  // contents of "out" afterwards; none: "out" must not exist
};
void PrintTo(const TranscriptRow& row, std::ostream* os) { *os << row.name; }

class Transcript : public Tool, public ::testing::WithParamInterface<TranscriptRow> {};

TEST_P(Transcript, PrintsExactlyAndExits) {
  const TranscriptRow& row = GetParam();
  const ToolRun run = tool(row.args);
  EXPECT_EQ(run.out, row.stdoutText);
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(readFile(dir_ / "out"), row.out ? std::optional(bytesOf(*row.out)) : std::nullopt);
  EXPECT_EQ(readFile(dir_ / "good.rvm"), kAbracadabra);
}

const std::string kUnable = transcript(working(messages::kUnableToWrite));

INSTANTIATE_TEST_SUITE_P(
    Rows, Transcript,
    ::testing::Values(
        TranscriptRow{"noArguments", {}, transcript(messages::kUsage), 1, {}},
        TranscriptRow{"oneArgument", {"good.rvm"}, transcript(messages::kUsage), 1, {}},
        TranscriptRow{
            "threeArguments", {"good.rvm", "out", "x"}, transcript(messages::kUsage), 1, {}},
        TranscriptRow{"missingSource",
                      {"missing.rvm", "out"},
                      transcript(working(messages::kFileNotFound)),
                      1,
                      {}},
        TranscriptRow{"sourceIsDirectory",
                      {"subdir", "out"},
                      transcript(working(messages::kFileNotFound)),
                      1,
                      {}},
        TranscriptRow{"destinationInMissingFolder", {"good.rvm", "nowhere/out"}, kUnable, 1, {}},
        TranscriptRow{"destinationIsDirectory", {"good.rvm", "subdir"}, kUnable, 1, {}},
        TranscriptRow{"badChecksum", {"bad.rvm", "out"}, invalidTranscript(), 1, ""},
        TranscriptRow{"success",
                      {"good.rvm", "out"},
                      transcript(working(messages::kDone)),
                      0,
                      "abracadabra"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SameFileRow {
  const char* name;
  std::string source;
  std::string destination;  // "ABS/" is replaced by the private folder
};
void PrintTo(const SameFileRow& row, std::ostream* os) { *os << row.name; }

class SameFile : public Tool, public ::testing::WithParamInterface<SameFileRow> {};

TEST_P(SameFile, IsRefusedAndTheSourceKeepsItsBytes) {
  fs::create_hard_link(dir_ / "good.rvm", dir_ / "hard.rvm");
  fs::create_symlink("good.rvm", dir_ / "link.rvm");
  std::string destination = GetParam().destination;
  if (destination.starts_with("ABS/")) destination = (dir_ / destination.substr(4)).string();

  const ToolRun run = tool({GetParam().source, destination});
  EXPECT_EQ(run.out, kUnable);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(dir_ / "good.rvm"), kAbracadabra);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.rvm"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, SameFile,
    ::testing::Values(SameFileRow{"samePath", "good.rvm", "good.rvm"},
                      SameFileRow{"dotSlash", "good.rvm", "./good.rvm"},
                      SameFileRow{"absolutePath", "good.rvm", "ABS/good.rvm"},
                      SameFileRow{"viaSubfolder", "good.rvm", "subdir/../good.rvm"},
                      SameFileRow{"hardLink", "good.rvm", "hard.rvm"},
                      SameFileRow{"symlinkAsDestination", "good.rvm", "link.rvm"},
                      SameFileRow{"symlinkAsSource", "link.rvm", "good.rvm"},
                      SameFileRow{"symlinkToItsOwnTarget", "link.rvm", "hard.rvm"}),
    [](const auto& info) { return std::string(info.param.name); });

struct MalformedRow {
  const char* name;
  Bytes file;
};
void PrintTo(const MalformedRow& row, std::ostream* os) { *os << row.name; }

class Malformed : public Tool, public ::testing::WithParamInterface<MalformedRow> {};

TEST_P(Malformed, PrintsTheBadChecksumLineAndLeavesAnEmptyDestination) {
  writeFile(dir_ / "in.rvm", GetParam().file);
  writeFile(dir_ / "out", Bytes(5000, 'x'));  // an older, longer file is truncated regardless
  const ToolRun run = tool({"in.rvm", "out"});
  EXPECT_EQ(run.out, invalidTranscript());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(dir_ / "out"), Bytes{});
}

Bytes prefix(const Bytes& bytes, std::size_t n) { return {bytes.begin(), bytes.begin() + n}; }

INSTANTIATE_TEST_SUITE_P(
    Files, Malformed,
    ::testing::Values(
        MalformedRow{"empty", {}}, MalformedRow{"headerCutShort", prefix(kAbracadabra, 6)},
        MalformedRow{"tableCutShort", prefix(kAbracadabra, 20)},
        MalformedRow{"bitsWithoutCodes", TestFile().entry('a', 0).bits("0101").bytes()},
        MalformedRow{"payloadShortByOneByte", prefix(manyA(8 * 1000), manyA(8 * 1000).size() - 1)},
        MalformedRow{"payloadShortByOneBit",
                     TestFile().entry('a', 2).bits("00000000").bitCount(9).bytes()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tool, ExistingLongerDestinationIsTruncated) {
  writeFile(dir_ / "out", Bytes(5000, 'x'));
  EXPECT_EQ(tool({"good.rvm", "out"}).status, 0);
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("abracadabra"));

  writeFile(dir_ / "nothing.rvm", Bytes(7, 0));  // valid, restores zero bytes
  const ToolRun run = tool({"nothing.rvm", "out"});
  EXPECT_EQ(run.out, transcript(working(messages::kDone)));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir_ / "out"), Bytes{});
}

TEST_F(Tool, RestoresLargeFileAcrossStreamBuffers) {
  // Several source and destination buffers' worth, skewed so codes have many lengths.
  std::mt19937 random(12345);
  std::geometric_distribution<int> skewed(0.05);
  Bytes original(1'500'000);
  for (std::uint8_t& byte : original) byte = static_cast<std::uint8_t>(skewed(random));
  const auto encoded = tools::encode(original);
  ASSERT_TRUE(encoded);
  writeFile(dir_ / "big.rvm", *encoded);
  const ToolRun run = tool({"big.rvm", "big.out"});
  EXPECT_EQ(run.out, transcript(working(messages::kDone)));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(readFile(dir_ / "big.out") == original);
}

TEST_F(Tool, RestoresTheBundledSample) {
  const ToolRun run = tool({RAVMOLT_SAMPLES_DIR "/lighthouse.rvm", "lighthouse.txt"});
  EXPECT_EQ(run.out, transcript(working(messages::kDone)));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir_ / "lighthouse.txt"), readFile(RAVMOLT_SAMPLES_DIR "/lighthouse.txt"));
}

TEST_F(Tool, FullDeviceGivesUnableToWriteAndTheNodeStays) {
  const fs::path full = dir_ / "full";
  if (::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "mknod not permitted here: " << std::strerror(errno);
  }
  {  // The node must behave as a full disk, or this test would prove nothing.
    const int fd = ::open(full.c_str(), O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "the private device node cannot be opened";
    const bool fullDisk = ::write(fd, "x", 1) < 0 && errno == ENOSPC;
    ::close(fd);
    if (!fullDisk) GTEST_SKIP() << "the private device node does not report a full disk";
  }
  const ToolRun run = tool({"good.rvm", "full"});
  EXPECT_EQ(run.out, kUnable);
  EXPECT_EQ(run.status, 1);
  struct stat info;
  ASSERT_EQ(::lstat(full.c_str(), &info), 0) << "the device node was removed";
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(Tool, FileSizeLimitGivesUnableToWriteAndRemovesTheDestination) {
  writeFile(dir_ / "big.rvm", manyA(8 * 100'000));
  const ToolRun run = tool({"big.rvm", "out"}, {.fileSizeLimit = 4096});
  EXPECT_EQ(run.out, kUnable);
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "out")));
}

TEST_F(Tool, FileSizeLimitInTheMiddleOfALargeDecodeRemovesTheDestination) {
  // A payload of several MiB, mostly decoded in two-lane blocks; the limit stops the writes after
  // 1 MiB.
  writeFile(dir_ / "big.rvm", manyA(8 * (3 << 20)));
  const ToolRun run = tool({"big.rvm", "out"}, {.fileSizeLimit = 1 << 20});
  EXPECT_EQ(run.out, kUnable);
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "out")));
}

TEST_F(Tool, FileSizeLimitThroughSymlinkKeepsLinkAndEmptiesTarget) {
  // Only the file the run itself created by its own name is removed; a link stays a link.
  writeFile(dir_ / "big.rvm", manyA(8 * 100'000));
  writeFile(dir_ / "target", Bytes(100, 'x'));
  fs::create_symlink("target", dir_ / "link");
  const ToolRun run = tool({"big.rvm", "link"}, {.fileSizeLimit = 4096});
  EXPECT_EQ(run.out, kUnable);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(readFile(dir_ / "target"), Bytes{});
}

}  // namespace
}  // namespace ravmolt
