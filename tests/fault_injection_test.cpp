// Faults injected around the real executable: full disks, file-size limits, permissions, bad
// paths, aliases of the source, and signals mid-run. Whatever happens, the source must come out
// byte-identical and the destination must hold the correct output, nothing (an empty file after
// an invalid source), or not exist; an interrupted run may leave a prefix of the correct output.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <thread>

#include "tests/one_bit_file.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunResult;

// Text-like bytes, enough for several destination buffers, so failures strike mid-stream.
Bytes sampleData() {
  Bytes data(600 * 1024);
  std::uint64_t state = 88172645463325252ULL;
  for (auto& byte : data) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<std::uint8_t>("  eeettaoinshrdlucmfwyp\n"[state % 24]);
  }
  return data;
}

bool isCharacterDevice(const fs::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// A tmpfs of 64 KiB mounted on `where` for the scope; mounted() is false where mounting is not
// permitted.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const fs::path& where) : where_(where) {
    fs::create_directory(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0;
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  ~SmallTmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    data_ = sampleData();
    encoded_ = tools::encode(data_).value();
    source_ = dir_ / "source.rvm";
    testing::writeBytes(source_, encoded_);
  }

  void expectRun(const RunResult& run, const std::string& transcript, int exitCode) {
    EXPECT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_EQ(run.exitCode, exitCode);
    EXPECT_EQ(run.out, transcript);
    EXPECT_EQ(run.err, "");
  }
  void expectSourceIntact() { EXPECT_EQ(testing::readBytes(source_), encoded_); }
  RunResult run(const fs::path& source, const fs::path& destination,
                testing::ToolProcess::ChildSetup setup = {}) {
    return testing::runTool({source.string(), destination.string()}, std::move(setup));
  }

  testing::TempDir dir_;
  Bytes data_;
  Bytes encoded_;
  fs::path source_;
};

// --- Full disks -------------------------------------------------------------------------------

TEST_F(FaultInjection, DiskFullDeviceRefusesTheWriteAndSurvives) {
  const auto full = dir_ / "full";  // a private node of the full device, never the system's own
  if (::mknod(full.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  expectRun(run(source_, full), testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(isCharacterDevice(full)) << "the device node was removed or replaced";
  expectSourceIntact();
}

TEST_F(FaultInjection, SmallTmpfsFillsUpAndTheIncompleteFileIsRemoved) {
  SmallTmpfs tmpfs(dir_ / "small");
  if (!tmpfs.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const auto destination = dir_ / "small" / "restored";

  // A small output fits: the mount itself works.
  const auto smallSource = dir_ / "small-source.rvm";
  const Bytes small(data_.begin(), data_.begin() + 10000);
  testing::writeBytes(smallSource, tools::encode(small).value());
  const Bytes smallEncoded = testing::readBytes(smallSource);
  expectRun(run(smallSource, destination), testing::successTranscript(), 0);
  EXPECT_EQ(testing::readBytes(destination), small);
  EXPECT_EQ(testing::readBytes(smallSource), smallEncoded);

  // The large output does not: the existing file is truncated, filled, and then removed.
  expectRun(run(source_, destination), testing::unableToWriteTranscript(), 1);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_TRUE(fs::is_empty(dir_ / "small"));
  expectSourceIntact();

  // The same again with a fresh destination name.
  expectRun(run(source_, dir_ / "small" / "new"), testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(fs::is_empty(dir_ / "small"));
  expectSourceIntact();
}

TEST_F(FaultInjection, FullTmpfsBehindASymbolicLinkKeepsTheLinkAndEmptiesItsTarget) {
  SmallTmpfs tmpfs(dir_ / "small");
  if (!tmpfs.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const auto target = dir_ / "small" / "target";
  testing::writeBytes(target, Bytes(100, 'x'));
  const auto link = dir_ / "link";
  fs::create_symlink(target, link);
  expectRun(run(source_, link), testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(!fs::exists(target) || fs::file_size(target) == 0);
  expectSourceIntact();
}

// --- File-size limit --------------------------------------------------------------------------

struct SizeLimit {
  const char* name;
  std::int64_t offset;  // the limit, relative to the output size
  bool fits;
};
void PrintTo(const SizeLimit& limit, std::ostream* out) { *out << limit.name; }

class FileSizeLimit : public FaultInjection, public ::testing::WithParamInterface<SizeLimit> {};

TEST_P(FileSizeLimit, IsReportedAndLeavesNoIncompleteFile) {
  const auto destination = dir_ / "restored";
  const auto limit =
      static_cast<rlim_t>(static_cast<std::int64_t>(data_.size()) + GetParam().offset);
  const RunResult result = run(source_, destination, [limit] {
    ::signal(SIGXFSZ, SIG_IGN);  // a refused write then fails with EFBIG instead of killing
    const struct rlimit fileSize { limit, limit };
    return ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
  });
  if (GetParam().fits) {
    expectRun(result, testing::successTranscript(), 0);
    EXPECT_EQ(testing::readBytes(destination), data_);
  } else {
    expectRun(result, testing::unableToWriteTranscript(), 1);
    EXPECT_FALSE(fs::exists(destination));
  }
  expectSourceIntact();
}

INSTANTIATE_TEST_SUITE_P(Limits, FileSizeLimit,
                         ::testing::Values(SizeLimit{"exactlyTheOutput", 0, true},
                                           SizeLimit{"oneByteShort", -1, false},
                                           SizeLimit{"withinTheFirstBuffer", -500000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultInjection, FileSizeLimitWithItsDefaultSignalLeavesAPrefix) {
  const auto destination = dir_ / "restored";
  const RunResult result = run(source_, destination, [] {
    const struct rlimit fileSize { 100000, 100000 };
    return ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
  });
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.signal, SIGXFSZ);
  const Bytes left = testing::readBytes(destination);
  EXPECT_LE(left.size(), 100000u);
  EXPECT_TRUE(std::equal(left.begin(), left.end(), data_.begin()));
  expectSourceIntact();
}

// --- Permissions, as an unprivileged user ------------------------------------------------------

// Runs the child as nobody when the tests run as root (root ignores file modes).
class AsUnprivilegedUser : public FaultInjection {
 protected:
  void SetUp() override {
    FaultInjection::SetUp();
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user";
      uid_ = nobody->pw_uid;
      gid_ = nobody->pw_gid;
      if (testing::runTool({}, [this] { return dropPrivileges(); }).exitCode == 127) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
      }
    }
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  }
  bool dropPrivileges() const {
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid_, gid_, gid_) == 0 &&
           ::setresuid(uid_, uid_, uid_) == 0 && ::geteuid() == uid_;
  }
  RunResult runUnprivileged(const fs::path& source, const fs::path& destination) {
    return run(source, destination, [this] { return dropPrivileges(); });
  }

  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(AsUnprivilegedUser, UnreadableSourceIsNotFoundAndNothingIsCreated) {
  fs::permissions(source_, fs::perms::none);
  const auto destination = dir_ / "restored";
  expectRun(runUnprivileged(source_, destination), testing::fileNotFoundTranscript(), 1);
  EXPECT_FALSE(fs::exists(destination));
  fs::permissions(source_, fs::perms::owner_read | fs::perms::owner_write);
  expectSourceIntact();
}

TEST_F(AsUnprivilegedUser, ReadOnlyDestinationKeepsItsContents) {
  const auto destination = dir_ / "restored";
  testing::writeBytes(destination, Bytes(5000, 'k'));
  fs::permissions(destination,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  expectRun(runUnprivileged(source_, destination), testing::unableToWriteTranscript(), 1);
  EXPECT_EQ(testing::readBytes(destination), Bytes(5000, 'k'));
  expectSourceIntact();
}

TEST_F(AsUnprivilegedUser, ReadOnlyFolderGetsNoDestination) {
  const auto folder = dir_ / "locked";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  expectRun(runUnprivileged(source_, folder / "restored"), testing::unableToWriteTranscript(), 1);
  EXPECT_FALSE(fs::exists(folder / "restored"));
  expectSourceIntact();
}

// --- Bad destinations and sources ----------------------------------------------------------------

TEST_F(FaultInjection, DestinationThatCannotBeAFileIsRefused) {
  const auto folder = dir_ / "folder";
  fs::create_directory(folder);
  testing::writeBytes(folder / "inside", Bytes{1, 2, 3});
  const fs::path destinations[] = {folder, dir_ / "missing" / "restored", source_ / "restored", ""};
  for (const fs::path& destination : destinations) {
    SCOPED_TRACE(destination.string());
    expectRun(run(source_, destination), testing::unableToWriteTranscript(), 1);
    expectSourceIntact();
  }
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(testing::readBytes(folder / "inside"), (Bytes{1, 2, 3}));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(FaultInjection, SourceThatIsNotAFileLeavesTheDestinationAlone) {
  const auto destination = dir_ / "restored";
  for (const fs::path& source : {fs::path(dir_.path()), dir_ / "missing.rvm"}) {
    SCOPED_TRACE(source.string());
    expectRun(run(source, destination), testing::fileNotFoundTranscript(), 1);
    EXPECT_FALSE(fs::exists(destination));
  }
  expectSourceIntact();
}

TEST_F(FaultInjection, EmptySourcesAreInvalidAndLeaveAnEmptyDestination) {
  const auto empty = dir_ / "empty.rvm";
  testing::writeBytes(empty, {});
  struct stat nullBefore;
  ASSERT_EQ(::stat("/dev/null", &nullBefore), 0);
  const auto destination = dir_ / "restored";
  for (const fs::path& source : {empty, fs::path("/dev/null")}) {  // /dev/null is only read
    SCOPED_TRACE(source.string());
    testing::writeBytes(destination, Bytes(100, 'o'));
    expectRun(run(source, destination), testing::invalidTranscript(), 1);
    ASSERT_TRUE(fs::exists(destination));
    EXPECT_EQ(fs::file_size(destination), 0u);
  }
  EXPECT_EQ(fs::file_size(empty), 0u);
  struct stat nullAfter;
  ASSERT_EQ(::stat("/dev/null", &nullAfter), 0);
  EXPECT_TRUE(S_ISCHR(nullAfter.st_mode));
  EXPECT_EQ(nullAfter.st_rdev, nullBefore.st_rdev);
  expectSourceIntact();
}

TEST_F(FaultInjection, EndlessZeroSourceEndsAfterItsHeader) {
  // A device that never ends: seven zero bytes are a valid header of an empty file, and the run
  // must stop there rather than read on.
  const auto zero = dir_ / "zero";
  if (::mknod(zero.c_str(), S_IFCHR | 0444, ::makedev(1, 5)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  const auto destination = dir_ / "restored";
  expectRun(run(zero, destination), testing::successTranscript(), 0);
  ASSERT_TRUE(fs::exists(destination));
  EXPECT_EQ(fs::file_size(destination), 0u);
  expectSourceIntact();
}

// --- The source named again as the destination -------------------------------------------------

TEST_F(FaultInjection, EveryAliasOfTheSourceIsRefusedUntouched) {
  const auto hardLink = dir_ / "hard-link.rvm";
  fs::create_hard_link(source_, hardLink);
  const auto linkToSource = dir_ / "link-to-source";
  fs::create_symlink(source_, linkToSource);
  const auto dotDot = dir_ / ".." / dir_.path().filename() / "source.rvm";
  const std::pair<fs::path, fs::path> aliases[] = {
      {source_, source_},
      {source_, "./source.rvm"},
      {source_, hardLink},
      {source_, linkToSource},
      {linkToSource, source_},
      {source_, dotDot},
      {"source.rvm", dir_.path() / "." / "source.rvm"},
  };
  const fs::path folder = dir_.path();
  for (const auto& [source, destination] : aliases) {
    SCOPED_TRACE(source.string() + " -> " + destination.string());
    const RunResult result = run(source, destination, [folder] {
      return ::chdir(folder.c_str()) == 0;  // for the relative names
    });
    expectRun(result, testing::unableToWriteTranscript(), 1);
    expectSourceIntact();
  }
  EXPECT_TRUE(fs::is_symlink(linkToSource));
  EXPECT_EQ(testing::readBytes(hardLink), encoded_);
}

TEST_F(FaultInjection, LongerExistingDestinationIsReplacedExactly) {
  const auto destination = dir_ / "restored";
  testing::writeBytes(destination, Bytes(2 * data_.size() + 12345, 0xEE));
  expectRun(run(source_, destination), testing::successTranscript(), 0);
  EXPECT_EQ(testing::readBytes(destination), data_);
  expectSourceIntact();
}

// --- Interrupted runs -------------------------------------------------------------------------

class Interrupted : public ::testing::TestWithParam<int> {};

TEST_P(Interrupted, LeavesTheSourceIntactAndAtMostAPrefix) {
  testing::TempDir dir;
  // 256 MiB of output from a 32 MiB source: long enough to be caught mid-run.
  const auto file = testing::OneBitFile::twoSymbols(std::int32_t{1} << 28);
  const auto source = dir / "large.rvm";
  const auto destination = dir / "restored";
  ASSERT_TRUE(file.write(source));
  const Bytes before = testing::readBytes(source);

  testing::ToolProcess process({source.string(), destination.string()});
  ASSERT_TRUE(process.start());
  // Wait for the first restored bytes to reach the file (or for the run to end), then signal.
  for (int i = 0; i < 20000; ++i) {
    std::error_code error;
    if (fs::exists(destination, error) && fs::file_size(destination, error) > 0) break;
    siginfo_t ended{};
    if (::waitid(P_PID, static_cast<id_t>(process.pid()), &ended, WEXITED | WNOHANG | WNOWAIT) ==
            0 &&
        ended.si_pid != 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(process.pid(), GetParam());
  const RunResult result = process.finish();

  EXPECT_EQ(result.err, "");
  if (result.exited) {  // finished before the signal arrived
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, testing::successTranscript());
  } else {
    EXPECT_EQ(result.signal, GetParam());
  }
  EXPECT_EQ(testing::readBytes(source), before);
  if (fs::exists(destination)) {
    const auto prefix = file.matchingPrefix(destination);
    ASSERT_TRUE(prefix.has_value()) << "the destination holds bytes the source does not give";
    if (result.exited) {
      EXPECT_EQ(*prefix, file.outputSize());
    }
    std::printf("[ signal   ] %s after %llu of %llu output bytes\n",
                result.exited ? "finished" : "stopped", static_cast<unsigned long long>(*prefix),
                static_cast<unsigned long long>(file.outputSize()));
  }
  // Nothing else is left behind in the folder.
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_TRUE(entry.path() == source || entry.path() == destination) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM, SIGKILL),
                         [](const auto& info) {
                           return std::string(info.param == SIGINT    ? "sigint"
                                              : info.param == SIGTERM ? "sigterm"
                                                                      : "sigkill");
                         });

}  // namespace
}  // namespace ravmolt
