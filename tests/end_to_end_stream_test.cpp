// The executable on sources that cannot seek: a pipe on standard input named /dev/stdin, a FIFO
// in the test's folder, bash's process substitution, and standard input redirected from a file.
// Each delivers a short file (read whole before decoding), a long one (decoded as it comes), and
// both cut short or with a bad checksum: the transcript, the exit status and the destination.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_folder.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Text of 64 equally likely symbols: 6 bits a byte, so `size` bytes compress to 3/4 of that.
Bytes text(std::size_t size) {
  std::mt19937 random(11);
  Bytes data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>('0' + random() % 64);
  return data;
}

// Writes all of `bytes` to `fd` and closes it; a reader that stops early ends the writing.
void writeAll(int fd, const Bytes& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  ::close(fd);
}

enum class Delivery { pipeOnStdin, fifo, processSubstitution, fileOnStdin };

struct Case {
  const char* name;
  bool large;     // longer than the 4 MiB read whole
  bool cut;       // the last half of the payload missing
  bool checksum;  // the checksum byte wrong
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    {"short", false, false, false},         {"long", true, false, false},
    {"shortCut", false, true, false},       {"longCut", true, true, false},
    {"longBadChecksum", true, false, true},
};

class UnseekableSource : public ::testing::TestWithParam<std::tuple<Case, Delivery>> {
 protected:
  static void SetUpTestSuite() {
    ::signal(SIGPIPE, SIG_IGN);  // writers to a run that stopped reading see EPIPE instead
    shortData_ = new Bytes(text(std::size_t{300} << 10));
    longData_ = new Bytes(text(std::size_t{8} << 20));
  }
  static void TearDownTestSuite() {
    delete shortData_;
    delete longData_;
  }

  // The tool run with `file` as its source, delivered as `how`.
  RunResult run(Delivery how, const Bytes& file) {
    const std::string folder = dir_.path().string();
    const auto inFolder = [folder] { return ::chdir(folder.c_str()) == 0; };
    switch (how) {
      case Delivery::pipeOnStdin:  // cat file | ravmolt /dev/stdin out
        return runTool({"/dev/stdin", "out"}, [inFolder, &file] {
          int ends[2];
          if (!inFolder() || ::pipe(ends) != 0) return false;
          const pid_t writer = ::fork();
          if (writer == 0) {
            ::close(ends[0]);
            writeAll(ends[1], file);
            ::_exit(0);
          }
          ::close(ends[1]);
          return writer > 0 && ::dup2(ends[0], STDIN_FILENO) == STDIN_FILENO;
        });
      case Delivery::fifo: {
        const fs::path fifo = dir_ / "fifo";
        if (::mkfifo(fifo.c_str(), 0600) != 0) return {};
        std::thread writer([&fifo, &file] { writeAll(::open(fifo.c_str(), O_WRONLY), file); });
        RunResult result = runTool({"fifo", "out"}, inFolder);
        writer.join();
        return result;
      }
      case Delivery::processSubstitution: {  // ravmolt <(cat file) out
        writeFile(dir_ / "in.rvm", file);
        // The launcher, when the tool was built for another processor, runs it as $0 would.
        const std::string command =
            "cd '" + folder + "' && bash -c 'exec $0 <(cat in.rvm 2>/dev/null) out' '" +
            RAVMOLT_TOOL_LAUNCHER " " RAVMOLT_TOOL_PATH + "' >transcript 2>errors";
        RunResult result;
        const int status = std::system(command.c_str());
        result.exited = WIFEXITED(status);
        result.exitCode = WEXITSTATUS(status);
        result.out = readText(dir_ / "transcript");
        result.err = readText(dir_ / "errors");
        return result;
      }
      case Delivery::fileOnStdin:  // ravmolt /dev/stdin out < file
        writeFile(dir_ / "in.rvm", file);
        return runTool({"/dev/stdin", "out"}, [inFolder] {
          if (!inFolder()) return false;
          const int fd = ::open("in.rvm", O_RDONLY);
          return fd >= 0 && ::dup2(fd, STDIN_FILENO) == STDIN_FILENO;
        });
    }
    return {};
  }

  static void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  TempDir dir_;
  static Bytes* shortData_;
  static Bytes* longData_;
};
Bytes* UnseekableSource::shortData_ = nullptr;
Bytes* UnseekableSource::longData_ = nullptr;

TEST_P(UnseekableSource, RestoresOrLeavesNoPartialOutput) {
  const auto& [c, how] = GetParam();
  if (how == Delivery::processSubstitution && std::system("bash -c true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no bash";
  }
  const Bytes& data = c.large ? *longData_ : *shortData_;
  Bytes file = tools::encode(data).value();
  ASSERT_EQ(file.size() > (std::size_t{4} << 20), c.large);
  if (c.cut) file.resize(file.size() - file.size() / 4);
  if (c.checksum) file[0] ^= 1;
  const RunResult result = run(how, file);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.err, "");
  const fs::path out = dir_ / "out";
  if (!c.cut && !c.checksum) {
    EXPECT_EQ(result.out, successTranscript());
    EXPECT_EQ(result.exitCode, 0);
    std::ifstream in(out, std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == data) << "the output differs";
    return;
  }
  EXPECT_EQ(result.out, invalidTranscript());
  EXPECT_EQ(result.exitCode, 1);
  if (c.large && c.cut && how != Delivery::fileOnStdin) {
    // Part of the payload was written before the cut showed: no destination is left. (A file on
    // standard input is a file on disk, whose size is checked first.)
    EXPECT_FALSE(fs::exists(out));
  } else {
    // Found before any output, as for a file on disk: the destination is empty.
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 0U);
  }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Case, Delivery>>& info) {
  static const char* const kHow[] = {"PipeOnStdin", "Fifo", "ProcessSubstitution", "FileOnStdin"};
  return std::string(std::get<0>(info.param).name) +
         kHow[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Sources, UnseekableSource,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Delivery::pipeOnStdin, Delivery::fifo,
                                                              Delivery::processSubstitution,
                                                              Delivery::fileOnStdin)),
                         caseName);

}  // namespace
}  // namespace ravmolt::testing
