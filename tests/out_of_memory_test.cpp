// Allocation failures that last, from the first allocation of a call on: the C calls report
// RAVMOLT_OUT_OF_MEMORY, a file run leaves no incomplete destination, and the C++ layer reports
// it as a failed write. Each allocation failing alone is the fault sweep's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>

#include "ravmolt/ravmolt.h"
#include "ravmolt/ravmolt_c.h"
#include "tests/fault_simulator.h"
#include "tests/test_file.h"

namespace ravmolt {
namespace {

// Fails every allocation while it lives.
struct NoMemory {
  NoMemory() { faults::arm({faults::Call::allocate, 1, {ENOMEM}, true}); }
  ~NoMemory() { faults::disarm(); }
};

std::vector<std::uint8_t> sampleFile() {
  return testing::TestFile().entry('a', 1).entry('b', 1).bits("0 1 1 0").bytes();
}

int countingSink(void* context, const unsigned char*, std::size_t) {
  ++*static_cast<int*>(context);
  return 1;
}

TEST(OutOfMemory, TheBufferCallReportsItWithNoOutput) {
  const auto file = sampleFile();
  int calls = 0;
  ravmolt_status status;
  {
    NoMemory noMemory;
    status = ravmolt_decompress_buffer(file.data(), file.size(), countingSink, &calls);
  }
  EXPECT_EQ(status, RAVMOLT_OUT_OF_MEMORY);
  EXPECT_EQ(calls, 0);
  // The library is usable again once memory is back.
  EXPECT_EQ(ravmolt_decompress_buffer(file.data(), file.size(), countingSink, &calls),
            RAVMOLT_SUCCESS);
  EXPECT_EQ(calls, 1);
}

TEST(OutOfMemory, TheFileCallLeavesNoDestinationBehind) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ravmolt-oom-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  const auto source = (dir / "in.rvm").string();
  const auto destination = (dir / "out.txt").string();
  const auto file = sampleFile();
  std::ofstream(source, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  ravmolt_status status;
  {
    NoMemory noMemory;
    status = ravmolt_decompress_file(source.c_str(), destination.c_str());
  }
  EXPECT_EQ(status, RAVMOLT_OUT_OF_MEMORY);
  EXPECT_FALSE(std::filesystem::exists(destination));
  std::filesystem::remove_all(dir);
}

TEST(OutOfMemory, TheCppLayerReportsAFailedWrite) {
  const auto file = sampleFile();
  DecodeStatus status;
  {
    // The lambda holds nothing, so only the library's own allocations fail.
    NoMemory noMemory;
    status = decompressBuffer(file, [](const std::uint8_t*, std::size_t) { return true; });
  }
  EXPECT_EQ(status, DecodeStatus::writeFailed);
}

}  // namespace
}  // namespace ravmolt
