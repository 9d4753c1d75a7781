// What the C interface adds to the cases public_api_test.cpp runs through the C++ names (which
// call it): any nonzero sink answer goes on, null pointers, the texts of the new statuses, and the
// C++ layer carrying a sink's exception over the C frames. The clean-up an embedding program
// calls from its own signal handler is in c_api_signal_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
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
  const std::string_view unknown = ravmolt_status_text(RAVMOLT_OUTPUT_PENDING + 1);
  EXPECT_EQ(texts.count(unknown), 0U);
  EXPECT_EQ(ravmolt_status_text(-1), unknown);
  // The C++ names give the same texts.
  EXPECT_STREQ(describeStatus(DecodeStatus::sameFile), ravmolt_status_text(RAVMOLT_SAME_FILE));
}

// A call into a destination that another call is restoring into is refused before it truncates
// anything, and the first goes on to the whole output; after it, the file is free again.
TEST(CInterface, ACallIntoADestinationAnotherIsRestoringIntoIsRefused) {
  const testing::TempDir dir;
  const auto large = testing::OneBitFile::twoSymbols(std::int32_t{1} << 28);
  ASSERT_TRUE(large.write(dir / "large.rvm"));
  testing::writeBytes(dir / "abra.rvm", abracadabra());
  const std::string out = (dir / "out").string();
  std::atomic<bool> over{false};
  int first = -1;
  std::thread restoring([&] {
    first = ravmolt_decompress_file((dir / "large.rvm").string().c_str(), out.c_str());
    over.store(true);
  });
  std::error_code error;
  while (!over.load() && (std::filesystem::file_size(out, error) == 0 || error)) {
    std::this_thread::yield();
  }
  const int second = ravmolt_decompress_file((dir / "abra.rvm").string().c_str(), out.c_str());
  const bool overBefore = over.load();
  restoring.join();
  if (overBefore) GTEST_SKIP() << "the first call ended before the second was made";
  EXPECT_EQ(second, RAVMOLT_DESTINATION_UNWRITABLE);
  EXPECT_EQ(first, RAVMOLT_SUCCESS);
  EXPECT_EQ(large.matchingPrefix(out), large.outputSize());
  EXPECT_EQ(ravmolt_decompress_file((dir / "abra.rvm").string().c_str(), out.c_str()),
            RAVMOLT_SUCCESS);
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
