// What the C interface adds to the cases public_api_test.cpp runs through the C++ names (which
// call it): any nonzero sink answer goes on, null pointers, the texts of the new statuses, the
// clean-up an embedding program calls from its own signal handler, and the C++ layer carrying a
// sink's exception over the C frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ravmolt/ravmolt.h"
#include "ravmolt/ravmolt_c.h"
#include "tests/one_bit_file.h"
#include "tests/temp_folder.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes abracadabra() { return testing::abracadabraFile(); }

// Text that takes several sink blocks.
Bytes longText() {
  Bytes text;
  for (int i = 0; text.size() < 700'000; ++i)
    text.push_back(static_cast<std::uint8_t>('a' + i % 7));
  return text;
}

// A C sink: records what it gets and answers with `answer`.
struct CSinkState {
  int answer = 1;
  int calls = 0;
  std::string received;
};

int recordingSink(void* context, const unsigned char* data, std::size_t size) {
  auto* state = static_cast<CSinkState*>(context);
  ++state->calls;
  state->received.append(reinterpret_cast<const char*>(data), size);
  return state->answer;
}

TEST(CInterface, AnyNonzeroAnswerGoesOn) {
  const Bytes compressed = *tools::encode(longText());
  for (int answer : {1, 2, -1, 0x10000}) {
    CSinkState state;
    state.answer = answer;
    EXPECT_EQ(
        ravmolt_decompress_buffer(compressed.data(), compressed.size(), recordingSink, &state),
        RAVMOLT_SUCCESS)
        << answer;
    EXPECT_EQ(state.received.size(), longText().size()) << answer;
    EXPECT_GE(state.calls, 3) << answer;
  }
}

TEST(CInterface, NullPointersAreRefusedBeforeAnythingIsDone) {
  const Bytes compressed = abracadabra();
  CSinkState state;
  EXPECT_EQ(ravmolt_decompress_buffer(compressed.data(), compressed.size(), nullptr, &state),
            RAVMOLT_INVALID_ARGUMENT);
  EXPECT_EQ(ravmolt_decompress_buffer(nullptr, 5, recordingSink, &state), RAVMOLT_INVALID_ARGUMENT);
  EXPECT_EQ(state.calls, 0);
  EXPECT_EQ(ravmolt_decompress_file(nullptr, "/nonexistent/out"), RAVMOLT_INVALID_ARGUMENT);
  EXPECT_EQ(ravmolt_decompress_file("/nonexistent/in", nullptr), RAVMOLT_INVALID_ARGUMENT);
}

TEST(CInterface, EveryStatusHasItsOwnTextAndUnknownOnesShareOne) {
  std::set<std::string_view> texts;
  for (int status = RAVMOLT_SUCCESS; status <= RAVMOLT_INVALID_ARGUMENT; ++status) {
    texts.insert(ravmolt_status_text(status));
  }
  EXPECT_EQ(texts.size(), 8U);
  const std::string_view unknown = ravmolt_status_text(RAVMOLT_INVALID_ARGUMENT + 1);
  EXPECT_EQ(texts.count(unknown), 0U);
  EXPECT_EQ(ravmolt_status_text(-1), unknown);
  // The C++ names give the same texts.
  EXPECT_STREQ(describeStatus(DecodeStatus::sameFile), ravmolt_status_text(RAVMOLT_SAME_FILE));
}

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

struct SinkError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An exception from a C++ sink must not unwind through the C library: it is carried over it,
// and the decode stops at the block that threw.
TEST(CppLayer, AnExceptionFromTheSinkReachesTheCallerAndStopsTheDecode) {
  const Bytes compressed = *tools::encode(longText());
  int calls = 0;
  const auto throwOnSecond = [&calls](const std::uint8_t*, std::size_t) {
    if (++calls == 2) throw SinkError("disk on fire");
    return true;
  };
  EXPECT_THROW(decompressBuffer(compressed, throwOnSecond), SinkError);
  EXPECT_EQ(calls, 2);

  const SinkFunction throwing = [](void*, const std::uint8_t*, std::size_t) -> bool {
    throw SinkError("at once");
  };
  EXPECT_THROW(decompressBuffer(compressed, throwing, nullptr), SinkError);
}

// Nothing of the library's own throws: a null argument is the failure it leads to.
TEST(CppLayer, NullPointersAreTheFailuresTheyLeadTo) {
  EXPECT_EQ(decompressFile(nullptr, "/nonexistent/out"), DecodeStatus::sourceNotFound);
  EXPECT_EQ(decompressFile("/nonexistent/in", nullptr), DecodeStatus::destinationUnwritable);
  EXPECT_EQ(decompressBuffer(abracadabra(), SinkFunction{nullptr}, nullptr),
            DecodeStatus::writeFailed);
}

}  // namespace
}  // namespace ravmolt
