// The five transcripts of the console, byte for byte as the platform's console receives them:
// LF on POSIX systems, CR LF on Windows, where standard output is in text mode. Written out in
// full for both, so that neither a lost CR nor a doubled one (CR CR LF) can pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_file.h"
#include "tests/tool_process.h"

namespace ravmolt {
namespace {

namespace fs = std::filesystem;

#define RAVMOLT_BANNER(end)                                                          \
  "============================================================================" end \
  "|        Quorvellian's Implementation of Huffman Compression Engine v2.0   |" end \
  "|                       Decompress a file 2002                             |" end

struct Transcript {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the private folder
  const char* posix;
  const char* windows;
  int exitCode;
};
void PrintTo(const Transcript& t, std::ostream* os) { *os << t.name; }

const Transcript kTranscripts[] = {
    {"usage",
     {"only-one"},
     RAVMOLT_BANNER("\n") "Usage: ravmolt [sourceFile] [destinationFile]\n",
     RAVMOLT_BANNER("\r\n") "Usage: ravmolt [sourceFile] [destinationFile]\r\n",
     1},
    {"fileNotFound",
     {"@/missing.rvm", "@/out"},
     RAVMOLT_BANNER("\n") " Working....File not found.\n",
     RAVMOLT_BANNER("\r\n") " Working....File not found.\r\n",
     1},
    {"unableToWrite",
     {"@/good.rvm", "@/missing/out"},
     RAVMOLT_BANNER("\n") " Working....Unable to write.\n",
     RAVMOLT_BANNER("\r\n") " Working....Unable to write.\r\n",
     1},
    {"badChecksum",
     {"@/bad.rvm", "@/out"},
     RAVMOLT_BANNER("\n") " Working....Bad checksum.  Invalid format........Done.\n",
     RAVMOLT_BANNER("\r\n") " Working....Bad checksum.  Invalid format........Done.\r\n",
     1},
    {"success",
     {"@/good.rvm", "@/out"},
     RAVMOLT_BANNER("\n") " Working....Done.\n",
     RAVMOLT_BANNER("\r\n") " Working....Done.\r\n",
     0},
};

class ConsoleText : public ::testing::TestWithParam<Transcript> {};

TEST_P(ConsoleText, ReachesTheConsoleWithThePlatformsLineEnds) {
  const Transcript& t = GetParam();
  testing::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  testing::writeBytes(dir / "good.rvm", testing::abracadabraFile());
  testing::writeBytes(dir / "bad.rvm", testing::TestFile().bits("0").checksum(0x42).bytes());
  std::vector<std::string> args = t.args;
  for (std::string& arg : args) {
    if (arg.starts_with("@/")) arg = (dir / arg.substr(2)).string();
  }
  const testing::RunResult result = testing::runTool(args);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, t.exitCode);
  EXPECT_EQ(result.out, testing::kLineEnd == "\r\n" ? t.windows : t.posix);
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Transcripts, ConsoleText, ::testing::ValuesIn(kTranscripts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ravmolt
