// The C interface's clean-up called from an embedding program's own signal handler: POSIX only,
// as it runs the call in a child made with fork, under a file size limit whose signal it handles.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "ravmolt/ravmolt_c.h"
#include "tests/one_bit_file.h"
#include "tests/temp_folder.h"
#include "tests/test_file.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An embedding program's own handler of a signal that ends it, called while a file call is in
// progress: it discards what the call left, then ends the process with this status.
constexpr int kEndedByTheHandler = 71;
extern "C" void discardAndEnd(int) {
  ravmolt_discard_incomplete_destinations();
  ::_exit(kEndedByTheHandler);
}

// How the destination the call was given reaches its file.
enum class Named { directly, throughASymlink, withASecondHardLink };

// A file size limit stops a restore's writes after 1 MiB of its 8 with SIGXFSZ, whose handler is
// the program's. Nothing named keeps partial output: the name given is removed when it is the
// file's own, and the file is emptied, whatever other name reaches it.
TEST(CInterface, AProgramsOwnSignalHandlerDiscardsTheIncompleteDestination) {
  const testing::TempDir dir;
  const auto source = testing::OneBitFile::twoSymbols(std::int32_t{8} << 20);
  ASSERT_TRUE(source.write(dir / "in.rvm"));
  for (const auto& [named, how] : {std::pair{Named::directly, "by its own name"},
                                   std::pair{Named::throughASymlink, "through a symbolic link"},
                                   std::pair{Named::withASecondHardLink, "with a second name"}}) {
    SCOPED_TRACE(how);
    for (const char* name : {"out", "target", "other"}) std::filesystem::remove(dir / name);
    if (named == Named::throughASymlink) {
      testing::writeBytes(dir / "target", Bytes(5000, 'x'));
      std::filesystem::create_symlink("target", dir / "out");
    } else if (named == Named::withASecondHardLink) {
      testing::writeBytes(dir / "out", Bytes(5000, 'x'));
      std::filesystem::create_hard_link(dir / "out", dir / "other");
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      struct sigaction action {};
      action.sa_handler = discardAndEnd;
      sigemptyset(&action.sa_mask);
      const rlimit limit{rlim_t{1} << 20, rlim_t{1} << 20};
      if (::sigaction(SIGXFSZ, &action, nullptr) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        ::_exit(127);
      }
      // The call's own status, should the handler never run.
      ::_exit(ravmolt_decompress_file((dir / "in.rvm").c_str(), (dir / "out").c_str()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), kEndedByTheHandler) << "the handler did not end the run";
    switch (named) {
      case Named::directly:
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "out")));
        break;
      case Named::throughASymlink:
        EXPECT_TRUE(std::filesystem::is_symlink(dir / "out"));
        EXPECT_EQ(std::filesystem::file_size(dir / "target"), 0U);
        break;
      case Named::withASecondHardLink:
        EXPECT_FALSE(std::filesystem::exists(dir / "out"));
        EXPECT_EQ(std::filesystem::file_size(dir / "other"), 0U);
        break;
    }
  }
}

}  // namespace
}  // namespace ravmolt
