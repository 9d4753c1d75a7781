// The C interface's clean-up called from an embedding program's own signal handler: POSIX only,
// as it runs the call in a child made with fork, under a file size limit whose signal it handles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
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

// Runs `call` in a child as user nobody when the tests run as root, who may write any file, and
// returns its exit status.
template <typename Call>
int asAnotherUser(Call call) {
  const passwd* nobody = ::getpwnam("nobody");
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) {
      ::_exit(127);
    }
    ::_exit(call());
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

// A source that may not be written, named twice: the sameness is seen before anything is opened
// for writing, which would have been refused.
TEST(CInterface, AReadOnlySourceNamedTwiceIsTheSameFile) {
  const testing::TempDir dir;
  testing::writeBytes(dir / "in.rvm", testing::abracadabraFile());
  std::filesystem::create_hard_link(dir / "in.rvm", dir / "second.rvm");
  ASSERT_EQ(::chmod((dir / "in.rvm").c_str(), 0444), 0);
  for (const char* destination : {"in.rvm", "second.rvm"}) {
    SCOPED_TRACE(destination);
    const int status = asAnotherUser([&] {
      return ravmolt_decompress_file((dir / "in.rvm").c_str(), (dir / destination).c_str());
    });
    ASSERT_NE(status, 127) << "cannot switch to user nobody";
    EXPECT_EQ(status, RAVMOLT_SAME_FILE);
  }
  EXPECT_EQ(testing::readBytes(dir / "in.rvm"), testing::abracadabraFile());
}

// More calls in progress than one block of the clean-up's list holds: 70 that wait on pipes that
// nobody reads, then one into a regular file with a second hard link, on two threads. A clean-up
// stops that one's writes before it empties and removes the file: the call fails, and neither
// name keeps anything.
TEST(CInterface, CleanUpReachesEveryCallInProgressAndStopsItsWrites) {
  const testing::TempDir dir;
  const auto waiting = testing::OneBitFile::twoSymbols(std::int32_t{1} << 20);
  const auto large = testing::OneBitFile::twoSymbols(std::int32_t{1} << 25);
  ASSERT_TRUE(waiting.write(dir / "waiting.rvm"));
  ASSERT_TRUE(large.write(dir / "large.rvm"));
  const auto ignored = ::signal(SIGPIPE, SIG_IGN);  // the pipes' readers leave at the end
  constexpr int kWaiting = 70;
  std::vector<int> readers;
  std::vector<std::thread> calls;
  for (int i = 0; i < kWaiting; ++i) {
    const std::string pipe = (dir / ("pipe" + std::to_string(i))).string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    readers.push_back(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_GE(readers.back(), 0);
    calls.emplace_back([&dir, pipe] {
      EXPECT_EQ(ravmolt_decompress_file((dir / "waiting.rvm").c_str(), pipe.c_str()),
                RAVMOLT_WRITE_FAILED);
    });
  }
  // Each call is in progress once its pipe holds bytes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (const int reader : readers) {
    int held = 0;
    while ((::ioctl(reader, FIONREAD, &held) != 0 || held == 0) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(held, 0) << "a call never wrote to its pipe";
  }

  // The clean-up comes once the call has written its first block (a clean-up that begins before
  // the call lists its destination refuses it untouched instead), then again and again as the
  // call ends. A call over before its first block was seen is made again.
  int status = RAVMOLT_SUCCESS;
  for (int attempt = 0; attempt < 5 && status == RAVMOLT_SUCCESS; ++attempt) {
    std::filesystem::remove(dir / "other");
    testing::writeBytes(dir / "out", Bytes(5000, 'x'));
    std::filesystem::create_hard_link(dir / "out", dir / "other");
    std::atomic<bool> over{false};
    std::thread last([&] {
      status = ravmolt_decompress_file((dir / "large.rvm").c_str(), (dir / "out").c_str());
      over.store(true);
    });
    std::error_code error;
    while (!over.load() && (std::filesystem::file_size(dir / "other", error) <= 5000 || error)) {
      std::this_thread::yield();
    }
    while (!over.load()) ravmolt_discard_incomplete_destinations();
    last.join();
  }
  EXPECT_EQ(status, RAVMOLT_WRITE_FAILED);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  EXPECT_EQ(std::filesystem::file_size(dir / "other"), 0U);

  for (const int reader : readers) ::close(reader);
  for (std::thread& call : calls) call.join();
  ::signal(SIGPIPE, ignored);
}

}  // namespace
}  // namespace ravmolt
