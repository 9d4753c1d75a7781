// Allocation failures inside the library: the C calls report RAVMOLT_OUT_OF_MEMORY instead of
// letting std::bad_alloc unwind into C frames, a file run leaves no incomplete destination, and
// the C++ layer reports it as a failed write. A program of its own, because it
// replaces the global operator new to fail on demand.
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
#include "tests/test_file.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace {

// When set, every allocation through operator new fails.
bool failAllocations = false;
// Allocations counted since the last reset, and the one of them (1-based) that fails, if any.
std::size_t allocations = 0;
std::size_t failOnly = 0;

bool failsNow() {
  ++allocations;
  return failAllocations || allocations == failOnly;
}

void* allocate(std::size_t size) {
  if (failsNow()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every non-aligned form, so that nothing mixes this malloc with another allocator's delete.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return failsNow() ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return failsNow() ? nullptr : std::malloc(size == 0 ? 1 : size);
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

// Restored bytes kept in memory set aside before the decode, so that the sink allocates nothing.
struct Collected {
  std::vector<std::uint8_t> bytes;
  std::size_t size = 0;
};

int collectingSink(void* context, const unsigned char* data, std::size_t size) {
  auto* collected = static_cast<Collected*>(context);
  if (size > collected->bytes.size() - collected->size) return 0;
  std::memcpy(collected->bytes.data() + collected->size, data, size);
  collected->size += size;
  return 1;
}

// Each allocation of a decode fails on its own, one decode per allocation, from the first to the
// last that a decode without faults makes: the decode either restores every byte or reports
// running out of memory with nothing handed on. The tables, the buffers and the lanes are each
// reached alone this way, on the small-table path, the full-table path with lanes, and a tree
// with 255-bit codes.
TEST(OutOfMemory, EachAllocationFailingAloneEndsCleanly) {
  // Every byte value in turn, through a tree with one leaf at each depth, 1 to 255 bits deep.
  std::vector<std::uint8_t> everyByte(std::size_t{16} << 10);
  for (std::size_t i = 0; i < everyByte.size(); ++i) everyByte[i] = static_cast<std::uint8_t>(i);
  FrequencyTable caterpillar{};
  caterpillar.fill(INT32_MAX);
  const std::vector<std::uint8_t> text =
      tools::makeCorpus(tools::CorpusKind::englishText, 256 << 10);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> original;
    std::vector<std::uint8_t> file;
  };
  const Case cases[] = {
      {"a short payload", std::vector<std::uint8_t>(100, 'x'),
       testing::TestFile().entry('x', 100).entry('y', 1).bits(std::string(100, '0')).bytes()},
      {"text past the small-table limit", text, tools::encode(text).value()},
      {"codes of up to 255 bits", everyByte,
       tools::encodeWithTable(caterpillar, everyByte).value()},
  };
  for (const auto& [name, original, file] : cases) {
    SCOPED_TRACE(name);
    Collected collected{std::vector<std::uint8_t>(original.size() + 1), 0};
    allocations = 0;
    ASSERT_EQ(ravmolt_decompress_buffer(file.data(), file.size(), collectingSink, &collected),
              RAVMOLT_SUCCESS);
    const std::size_t total = allocations;
    ASSERT_GT(total, 0U);
    std::size_t reported = 0;
    for (std::size_t n = 1; n <= total; ++n) {
      collected.size = 0;
      allocations = 0;
      failOnly = n;
      const ravmolt_status status =
          ravmolt_decompress_buffer(file.data(), file.size(), collectingSink, &collected);
      failOnly = 0;
      if (status == RAVMOLT_OUT_OF_MEMORY) {
        ++reported;
        EXPECT_EQ(collected.size, 0U) << "allocation " << n;
        continue;
      }
      ASSERT_EQ(status, RAVMOLT_SUCCESS) << "allocation " << n;
      ASSERT_EQ(collected.size, original.size()) << "allocation " << n;
      EXPECT_TRUE(std::equal(original.begin(), original.end(), collected.bytes.begin()))
          << "allocation " << n;
    }
    // The decode tables cannot be done without.
    EXPECT_GT(reported, 0U);
  }
}

}  // namespace
}  // namespace ravmolt
