// Files at the limits of the format, through the real executable: the largest output a header can
// announce (about 2 GiB), restored exactly in bounded memory, and a source beyond 4 GiB. Slow and
// disk-hungry, so they carry the CTest label `large`; each skips when the disk is too small.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include "tests/one_bit_file.h"
#include "tests/tool_process.h"

#if defined(__SANITIZE_ADDRESS__)
#define RAVMOLT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAVMOLT_SANITIZED 1
#endif
#endif

namespace ravmolt {
namespace {

namespace fs = std::filesystem;
using testing::OneBitFile;

// The promise for any file: the decoder's own buffers plus the program's image, well under this.
constexpr long kPeakMemoryKiB = 16 * 1024;

std::uint64_t freeBytes(const fs::path& where) {
  struct statvfs info;
  if (::statvfs(where.c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

// Runs the tool on `source`, checks the whole output against `file` and the child's peak memory.
void expectRestoredInBoundedMemory(const OneBitFile& file, const fs::path& source,
                                   const fs::path& destination) {
  const auto sourceSize = fs::file_size(source);
  const auto started = std::chrono::steady_clock::now();
  const testing::RunResult run = testing::runTool({source.string(), destination.string()});
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, testing::successTranscript());
  EXPECT_EQ(fs::file_size(source), sourceSize);
  ASSERT_EQ(fs::file_size(destination), file.outputSize());
  EXPECT_EQ(file.matchingPrefix(destination), file.outputSize()) << "the output differs";
  std::printf("[ large    ] %llu output bytes from a %llu-byte source: %.1f s, peak %ld KiB\n",
              static_cast<unsigned long long>(file.outputSize()),
              static_cast<unsigned long long>(sourceSize), took.count(), run.usage.ru_maxrss);
#ifdef RAVMOLT_SANITIZED
  std::printf(
      "[ large    ] sanitizer build: shadow memory makes the peak meaningless, not checked\n");
#else
  EXPECT_LE(run.usage.ru_maxrss, kPeakMemoryKiB);
#endif
}

struct LargestCase {
  const char* name;
  OneBitFile (*make)();
};
void PrintTo(const LargestCase& c, std::ostream* out) { *out << c.name; }

class LargestOutput : public ::testing::TestWithParam<LargestCase> {};

TEST_P(LargestOutput, IsRestoredExactlyInBoundedMemory) {
  testing::TempDir dir;
  const OneBitFile file = GetParam().make();
  const std::uint64_t needed = file.payloadSize() + file.outputSize();
  if (freeBytes(dir.path()) < needed + (std::uint64_t{1} << 30)) {
    GTEST_SKIP() << "needs " << (needed >> 20) << " MiB of free disk and 1 GiB to spare";
  }
  const auto source = dir / "largest.rvm";
  ASSERT_TRUE(file.write(source));
  expectRestoredInBoundedMemory(file, source, dir / "restored");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LargestOutput,
    ::testing::Values(
        // bitCount + tableSize is 2^31, which wraps to INT32_MIN: remainder 0, checksum 0.
        LargestCase{"twoSymbolsWrappingChecksum",
                    [] { return OneBitFile::twoSymbols(INT32_MAX - 9); }},
        // The largest bitCount of all, with the one-byte table that reads its count from the
        // payload (INT32_MAX + 1 wraps too).
        LargestCase{"int32MaxBits", [] { return OneBitFile::countInPayload(INT32_MAX); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HugeSource, BeyondFourGiBIsReadByItsFullSize) {
  // The file is 2^32 + 20 bytes: its size cut to 32 bits (20) would be shorter than the payload.
  // Only the first MiB of the payload is written; the next one comes from the sparse tail.
  testing::TempDir dir;
  if (freeBytes(dir.path()) < (std::uint64_t{256} << 20)) GTEST_SKIP() << "disk too small";
  const OneBitFile file = OneBitFile::twoSymbols(8 * (2 << 20)).writtenUpTo(1 << 20);
  const auto source = dir / "huge.rvm";
  ASSERT_TRUE(file.write(source));
  const auto hugeSize = static_cast<off_t>((std::uint64_t{1} << 32) + 20);
  ASSERT_EQ(::truncate(source.c_str(), hugeSize), 0);
  ASSERT_GT(fs::file_size(source), std::uint64_t{1} << 32);
  expectRestoredInBoundedMemory(file, source, dir / "restored");
}

}  // namespace
}  // namespace ravmolt
