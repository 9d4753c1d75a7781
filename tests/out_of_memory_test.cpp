// Allocation failures inside the library: the C calls report RAVMOLT_OUT_OF_MEMORY instead of
// letting std::bad_alloc unwind into C frames, a file run leaves no incomplete destination, and
// the C++ layer reports it as a failed write. A program of its own, because it
// replaces the global operator new to fail on demand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>

#include "ravmolt/ravmolt.h"
#include "ravmolt/ravmolt_c.h"
#include "tests/test_file.h"

namespace {

// When set, every allocation through operator new fails.
bool failAllocations = false;

void* allocate(std::size_t size) {
  if (failAllocations) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every non-aligned form, so that nothing mixes this malloc with another allocator's delete.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return failAllocations ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return failAllocations ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace ravmolt {
namespace {

// Fails allocations while it lives.
struct NoMemory {
  NoMemory() { failAllocations = true; }
  ~NoMemory() { failAllocations = false; }
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
