// The real ravmolt.exe on Windows, run in a private folder: the console text (CR LF), the exit
// status and what is left of every file, for each path a run can take that has a meaning there,
// and for what only Windows has: drive aliases, case-blind names, \\?\ paths, NUL, names beyond
// 260 characters, UTF-16 arguments, named pipes and Ctrl-Break.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/one_bit_file.h"
#include "tests/test_file.h"
#include "tests/tool_inputs.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::bytesOf;
using testing::kAbracadabra;
using testing::kLargeSize;
using testing::largeData;
using testing::largeSource;
using testing::prefix;
using testing::readBytes;
using testing::RunResult;
using testing::ToolOptions;
using testing::ToolProcess;
using testing::writeBytes;

std::string utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

void expectExit(const RunResult& result, const std::string& transcript, int exitCode) {
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, exitCode);
  EXPECT_EQ(result.out, transcript);
  EXPECT_EQ(result.err, "");
}

// Each test's private folder is the working folder of its runs and holds abra.rvm (restores to
// "abracadabra"), large.rvm (restores to largeData()), hard.rvm (a hard link to abra.rvm) and
// folder/inside.
class WindowsExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    testing::fillRunFolder(dir_.path());
  }
  RunResult run(std::vector<std::string> args, ToolOptions options = {}) {
    options.folder = dir_.path();
    RunResult result = testing::runTool(std::move(args), std::move(options));
    testing::expectRunFolderIntact(dir_.path());
    return result;
  }
  std::set<std::string> names(const std::string& except) const {
    std::set<std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      all.insert(utf8Of(fs::relative(entry.path(), dir_.path())));
    }
    all.erase(except);
    return all;
  }

  testing::TempDir dir_;
};

// A row of runs (see RunCase), "@\" standing for the folder's absolute path.
using Case = testing::RunCase;

class WindowsExecutableRun : public WindowsExecutable,
                             public ::testing::WithParamInterface<Case> {};

TEST_P(WindowsExecutableRun, PrintsItsTranscriptAndLeavesTheAgreedFiles) {
  const Case& c = GetParam();
  if (c.in) writeBytes(dir_ / "in.rvm", *c.in);
  if (c.before) writeBytes(dir_ / "out", *c.before);
  std::vector<std::string> args = c.args;
  for (std::string& arg : args) {
    if (arg.starts_with("@\\")) arg = utf8Of(dir_ / arg.substr(2));
  }
  const std::set<std::string> others = names("out");
  expectExit(run(args), c.transcript, c.exitCode);
  EXPECT_EQ(fs::exists(dir_ / "out"), c.out.has_value());
  if (c.out) {
    EXPECT_EQ(readBytes(dir_ / "out"), *c.out);
  }
  EXPECT_EQ(names("out"), others);
  if (c.in) {
    EXPECT_EQ(readBytes(dir_ / "in.rvm"), *c.in);
  }
}

std::vector<Case> cases() {
  const std::string done = testing::successTranscript();
  const std::string notFound = testing::fileNotFoundTranscript();
  const std::string invalid = testing::invalidTranscript();
  const auto unwritable = testing::unwritableRun;
  std::vector<Case> rows = testing::runsOnEverySystem();
  rows.insert(
      rows.end(),
      {
          {"argumentsWithSpacesAndQuotes", {"abra .rvm\"", "out"}, notFound, 1, {}},
          {"backslashedAbsolutePaths", {"@\\abra.rvm", "@\\out"}, done, 0, bytesOf("abracadabra")},
          {"nulAsDestination", {"abra.rvm", "NUL"}, done, 0, {}},
          {"emptySourceName", {"", "out"}, notFound, 1, {}},
          unwritable("destinationInAMissingFolder", "abra.rvm", "missing\\out"),
          unwritable("destinationUnderAFile", "abra.rvm", "abra.rvm\\out"),
          // The destination names the source itself.
          unwritable("dotBackslash", "abra.rvm", ".\\abra.rvm"),
          unwritable("forwardSlash", "abra.rvm", "./abra.rvm"),
          unwritable("absolutePath", "abra.rvm", "@\\abra.rvm"),
          unwritable("viaSubfolder", "abra.rvm", "folder\\..\\abra.rvm"),
          unwritable("otherCase", "abra.rvm", "ABRA.RVM"),
          unwritable("trailingDot", "abra.rvm", "abra.rvm."),
          unwritable("hardLinkAsSource", "hard.rvm", "abra.rvm"),
          {"nulAsSource", {"NUL", "out"}, invalid, 1, Bytes{}, {}, testing::kStaleDestination},
      });
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowsExecutableRun, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Names only Windows has ----------------------------------------------------------------------

// A name of letters from several scripts, passed as UTF-16 and opened as such.
TEST_F(WindowsExecutable, UnicodeNamesReachTheFiles) {
  const std::string source =
      "donn\xc3\xa9"
      "es-\xe6\x97\xa5\xe6\x9c\xac-\xce\xb1.rvm";
  const std::string destination = "r\xc3\xa9sultat-\xe2\x82\xac.txt";
  fs::copy_file(dir_ / "abra.rvm",
                dir_.path() / fs::path(std::u8string(source.begin(), source.end())));
  expectExit(run({source, destination}), testing::successTranscript(), 0);
  EXPECT_EQ(
      readBytes(dir_.path() / fs::path(std::u8string(destination.begin(), destination.end()))),
      bytesOf("abracadabra"));
}

// Both files deeper than the old limit of 260 characters, by relative and by absolute name.
TEST_F(WindowsExecutable, PathsLongerThan260CharactersWork) {
  fs::path deep = "d";
  for (int level = 0; level < 6; ++level) deep /= std::string(60, static_cast<char>('a' + level));
  std::error_code error;
  fs::create_directories(dir_.path() / deep, error);
  ASSERT_FALSE(error) << error.message();
  writeBytes(dir_.path() / deep / "in.rvm", kAbracadabra);
  const std::string relative = utf8Of(deep);
  ASSERT_GT(relative.size(), 360u);
  expectExit(run({relative + "\\in.rvm", relative + "\\out"}), testing::successTranscript(), 0);
  EXPECT_EQ(readBytes(dir_.path() / deep / "out"), bytesOf("abracadabra"));
  const std::string absolute = utf8Of(dir_.path() / deep / "in.rvm");
  expectExit(run({absolute, absolute}), testing::unableToWriteTranscript(), 1);
  EXPECT_EQ(readBytes(dir_.path() / deep / "in.rvm"), kAbracadabra);
}

// The source reached by the \\?\ form of its name, whichever of the two names it.
TEST_F(WindowsExecutable, TheLongFormOfTheSourcesNameIsRefused) {
  const std::string longForm = "\\\\?\\" + utf8Of(dir_ / "abra.rvm");
  expectExit(run({longForm, "out"}), testing::successTranscript(), 0);
  EXPECT_EQ(readBytes(dir_ / "out"), bytesOf("abracadabra"));
  for (const auto& [source, destination] :
       {std::pair<std::string, std::string>{"abra.rvm", longForm},
        {longForm, "hard.rvm"},
        {longForm, longForm}}) {
    SCOPED_TRACE(source + " to " + destination);
    expectExit(run({source, destination}), testing::unableToWriteTranscript(), 1);
  }
}

// The source reached through a drive letter of its own, as `subst` makes one, is still the
// source, by that letter and by the other name.
TEST_F(WindowsExecutable, ADriveAliasOfTheSourceIsRefused) {
  wchar_t drive[] = L"R:";
  while (drive[0] <= L'Y' &&
         ::GetDriveTypeW((std::wstring(drive) + L"\\").c_str()) != DRIVE_NO_ROOT_DIR) {
    ++drive[0];
  }
  ASSERT_LE(drive[0], L'Y') << "no free drive letter";
  ASSERT_TRUE(::DefineDosDeviceW(0, drive, dir_.path().wstring().c_str())) << ::GetLastError();
  const std::string letter = std::string(1, static_cast<char>(drive[0])) + ":\\";
  const bool reached = readBytes(letter + "abra.rvm") == kAbracadabra;
  if (reached) {
    expectExit(run({"abra.rvm", letter + "abra.rvm"}), testing::unableToWriteTranscript(), 1);
    expectExit(run({letter + "abra.rvm", "hard.rvm"}), testing::unableToWriteTranscript(), 1);
    expectExit(run({letter + "abra.rvm", letter + "out"}), testing::successTranscript(), 0);
    EXPECT_EQ(readBytes(dir_ / "out"), bytesOf("abracadabra"));
  }
  ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, nullptr);
  if (!reached) GTEST_SKIP() << "files are not reached through a drive letter defined here";
}

// A symbolic link to the source, either way round, is the source, and the link stays.
TEST_F(WindowsExecutable, SymbolicLinksOfTheSourceAreRefused) {
  std::error_code error;
  fs::create_symlink("abra.rvm", dir_ / "link.rvm", error);
  if (error) GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
  expectExit(run({"abra.rvm", "link.rvm"}), testing::unableToWriteTranscript(), 1);
  expectExit(run({"link.rvm", "abra.rvm"}), testing::unableToWriteTranscript(), 1);
  expectExit(run({"link.rvm", "hard.rvm"}), testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.rvm"));
}

// The file standard output writes to: restored bytes would be mixed into the console text, so
// the run is refused before anything is truncated.
TEST_F(WindowsExecutable, TheFileStandardOutputWritesToIsRefused) {
  ToolOptions options;
  options.outputFile = dir_ / "captured";
  const RunResult result = run({"abra.rvm", "captured"}, options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(readBytes(dir_ / "captured"), bytesOf(testing::unableToWriteTranscript()));
}

// A named pipe whose reader goes away after the first bytes: the write fails and is reported.
TEST_F(WindowsExecutable, APipeWhoseReaderGoesAwayIsAFailedWrite) {
  const std::wstring name =
      L"\\\\.\\pipe\\ravmolt-test-" + std::to_wstring(::GetCurrentProcessId());
  const HANDLE pipe =
      ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  std::thread reader([pipe] {
    if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      char some[4096];
      DWORD got = 0;
      (void)::ReadFile(pipe, some, sizeof some, &got, nullptr);
    }
    ::CloseHandle(pipe);
  });
  const std::string path(name.begin(), name.end());
  const RunResult result = run({"large.rvm", path});
  reader.join();
  expectExit(result, testing::unableToWriteTranscript(), 1);
}

// --- A run that Ctrl-C or Ctrl-Break ends
// ----------------------------------------------------------

// 256 MiB of output: the event comes once the destination holds its first bytes, long before the
// end. The run has a console of its own, which the test joins to send the event to it alone. It
// ends as Windows ends a console program on Ctrl-C, and leaves no incomplete file.
class WindowsExecutableInterrupt : public WindowsExecutable,
                                   public ::testing::WithParamInterface<DWORD> {};

TEST_P(WindowsExecutableInterrupt, MidRunRemovesTheDestination) {
  const auto file = testing::OneBitFile::twoSymbols(std::int32_t{1} << 28);
  ASSERT_TRUE(file.write(dir_ / "big.rvm"));
  const std::set<std::string> others = names("out");
  ToolOptions options;
  options.folder = dir_.path();
  options.creationFlags = CREATE_NEW_CONSOLE;
  ToolProcess tool({"big.rvm", "out"}, options);
  ASSERT_TRUE(tool.start());
  bool written = false;
  for (int i = 0; i < 20000 && !written; ++i) {
    std::error_code error;
    written = fs::file_size(dir_ / "out", error) > 0 && !error;
    if (::WaitForSingleObject(tool.process(), 0) == WAIT_OBJECT_0) break;
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!written) {
    const RunResult early = tool.finish();
    GTEST_SKIP() << "the run ended, with " << early.exitCode << ", before it could be interrupted";
  }
  // The test itself ignores the event it sends to the console it shares with the run.
  ::FreeConsole();
  const bool attached = ::AttachConsole(tool.processId()) != 0;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const bool sent = attached && ::GenerateConsoleCtrlEvent(GetParam(), 0) != 0;
  const DWORD why = ::GetLastError();
  // The next run must not inherit the ignoring of Ctrl-C, nor this console.
  const auto leaveConsole = [] {
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::FreeConsole();
  };
  if (!sent) {
    leaveConsole();
    // Wine sends Ctrl-C to a whole console, but not Ctrl-Break.
    GTEST_SKIP() << "this console control event cannot be sent here (error " << why << ")";
  }
  const RunResult result = tool.finish();
  leaveConsole();
  EXPECT_EQ(static_cast<DWORD>(result.exitCode), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(result.out, testing::interruptedTranscript());
  EXPECT_FALSE(fs::exists(dir_ / "out")) << "the incomplete file was left";
  EXPECT_EQ(names("out"), others);
}

INSTANTIATE_TEST_SUITE_P(Events, WindowsExecutableInterrupt,
                         ::testing::Values(DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}),
                         [](const auto& info) {
                           return std::string(info.param == CTRL_C_EVENT ? "ctrlC" : "ctrlBreak");
                         });

}  // namespace
}  // namespace ravmolt
