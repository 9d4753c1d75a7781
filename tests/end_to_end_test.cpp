// The real ravmolt executable, run in a private folder: its exact console text and exit status, and
// what is left of every file it was given, on each path a run can take. Whatever happens, the
// source comes out byte-identical, and the destination holds the correct output, an empty file
// after an invalid source, or nothing: not after a failed write, a signal that ends the run, or
// memory that could not be had (only SIGKILL, which no program can catch, leaves a prefix).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/one_bit_file.h"
#include "tests/test_file.h"
#include "tests/tool_inputs.h"
#include "tests/tool_process.h"
#include "tools/encoder.h"

namespace ravmolt {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::bytesOf;
using testing::kAbracadabra;
using testing::kLargeSize;
using testing::largeData;
using testing::largeSource;
using testing::prefix;
using testing::readBytes;
using testing::RunResult;
using testing::ToolProcess;
using testing::writeBytes;

// Makes a node of the memory device `device` (1,5 endless zeros, 1,7 a full disk) at `path`, so
// that no test touches the machine's own nodes. Returns why not when it cannot, or when the node
// does not act as that device: a run on it would then prove nothing.
std::string makeDeviceNode(const fs::path& path, dev_t device) {
  if (::mknod(path.c_str(), S_IFCHR | 0666, device) != 0) {
    return std::string("mknod is not permitted here: ") + std::strerror(errno);
  }
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return std::string("the device node cannot be opened: ") + std::strerror(errno);
  char byte = 1;
  const bool acts = device == ::makedev(1, 7) ? ::write(fd, &byte, 1) < 0 && errno == ENOSPC
                                              : ::read(fd, &byte, 1) == 1 && byte == 0;
  ::close(fd);
  return acts ? "" : "the device node does not act as its device";
}

// Limits the size of the files a run may write. With SIGXFSZ ignored (which lasts across exec) a
// write past the limit fails with EFBIG; with its default action the signal ends the run.
ToolProcess::ChildSetup fileSizeLimit(rlim_t bytes, bool ignoreSignal) {
  return [bytes, ignoreSignal] {
    if (ignoreSignal) ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  };
}

void expectExit(const RunResult& result, const std::string& transcript, int exitCode) {
  EXPECT_TRUE(result.exited) << "ended by signal " << result.signal;
  EXPECT_EQ(result.exitCode, exitCode);
  EXPECT_EQ(result.out, transcript);
}

void expectKilledMidRun(const RunResult& result, int signal) {
  EXPECT_FALSE(result.exited) << "exited with " << result.exitCode;
  EXPECT_EQ(result.signal, signal);
  EXPECT_EQ(result.out, testing::interruptedTranscript());
}

// What a run that `signal` ended mid-decode leaves at its destination: nothing, for a signal the
// command handles; for SIGKILL, which it cannot, a prefix of the correct output (`prefix` is its
// length, nothing when a byte differs), no shorter than the `seen` bytes it held while frozen.
void expectInterruptedDestination(int signal, const fs::path& destination,
                                  std::optional<std::uint64_t> prefix, std::uint64_t seen) {
  if (signal != SIGKILL) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination))) << "the incomplete file was left";
    return;
  }
  ASSERT_TRUE(fs::exists(destination)) << "the destination was removed";
  ASSERT_TRUE(prefix.has_value()) << "the destination holds bytes the correct output does not";
  EXPECT_GE(*prefix, seen);
}

// Each test's private folder is the working folder of its runs and holds abra.rvm (restores to
// "abracadabra"), large.rvm (restores to largeData()), hard.rvm (a hard link to abra.rvm),
// link.rvm (a symbolic link to it) and folder/inside.
class RavmoltExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    testing::fillRunFolder(dir_.path());
    fs::create_symlink("abra.rvm", dir_ / "link.rvm");
  }

  ToolProcess::ChildSetup inFolder(ToolProcess::ChildSetup then = {}) const {
    return [folder = dir_.path().string(), then] {
      return ::chdir(folder.c_str()) == 0 && (!then || then());
    };
  }
  RunResult run(std::vector<std::string> args, ToolProcess::ChildSetup then = {}) {
    RunResult result = testing::runTool(std::move(args), inFolder(std::move(then)));
    expectFixtureIntact(result);
    return result;
  }
  // After any run: nothing on standard error, and the folder's own files unchanged.
  void expectFixtureIntact(const RunResult& result) const {
    EXPECT_EQ(result.err, "");
    testing::expectRunFolderIntact(dir_.path());
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.rvm"));
  }
  // Every name under the folder but `except`, so that anything else a run leaves or removes shows.
  std::set<std::string> names(const std::string& except) const {
    std::set<std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      all.insert(fs::relative(entry.path(), dir_.path()).string());
    }
    all.erase(except);
    return all;
  }
  // The device of each argument that names a character device.
  std::map<std::string, dev_t> devicesNamed(const std::vector<std::string>& args) const {
    std::map<std::string, dev_t> devices;
    for (const std::string& arg : args) {
      struct stat info;
      if (!arg.empty() && ::lstat((dir_ / arg).c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        devices[arg] = info.st_rdev;
      }
    }
    return devices;
  }

  testing::TempDir dir_;
};

// --- Runs that end by themselves: arguments, paths, aliases of the source, file contents ---------

// A row of runs (see RunCase); `node` makes a private device node "node" first.
using Case = testing::RunCase;

class RavmoltExecutableRun : public RavmoltExecutable,
                             public ::testing::WithParamInterface<Case> {};

TEST_P(RavmoltExecutableRun, PrintsItsTranscriptAndLeavesTheAgreedFiles) {
  const Case& c = GetParam();
  if (c.node != 0) {
    const std::string why = makeDeviceNode(dir_ / "node", c.node);
    if (!why.empty()) GTEST_SKIP() << why;
  }
  if (c.in) writeBytes(dir_ / "in.rvm", *c.in);
  if (c.before) writeBytes(dir_ / "out", *c.before);
  std::vector<std::string> args = c.args;
  for (std::string& arg : args) {
    if (arg.starts_with("@/")) arg = (dir_ / arg.substr(2)).string();
  }
  const std::set<std::string> others = names("out");
  const auto devices = devicesNamed(args);

  expectExit(run(args), c.transcript, c.exitCode);
  EXPECT_EQ(fs::exists(fs::symlink_status(dir_ / "out")), c.out.has_value());
  if (c.out) {
    EXPECT_EQ(readBytes(dir_ / "out"), *c.out);
  }
  EXPECT_EQ(names("out"), others);
  if (c.in) {
    EXPECT_EQ(readBytes(dir_ / "in.rvm"), *c.in);
  }
  EXPECT_EQ(devicesNamed(args), devices) << "a device node was removed or replaced";
}

std::vector<Case> cases() {
  const std::string done = testing::successTranscript();
  const std::string unable = testing::unableToWriteTranscript();
  const std::string invalid = testing::invalidTranscript();
  const auto unwritable = testing::unwritableRun;
  std::vector<Case> rows = testing::runsOnEverySystem();
  rows.insert(
      rows.end(),
      {
          // Seven zero bytes are the header of an empty file: the run stops there, not reading on.
          {"endlessZeroNodeAsSource",
           {"node", "out"},
           done,
           0,
           Bytes{},
           {},
           testing::kStaleDestination,
           ::makedev(1, 5)},
          unwritable("destinationInAMissingFolder", "abra.rvm", "missing/out"),
          unwritable("destinationUnderAFile", "abra.rvm", "abra.rvm/out"),
          {"fullDeviceNode", {"large.rvm", "node"}, unable, 1, {}, {}, {}, ::makedev(1, 7)},
          // The destination names the source itself.
          unwritable("dotSlash", "abra.rvm", "./abra.rvm"),
          unwritable("absolutePath", "abra.rvm", "@/abra.rvm"),
          unwritable("viaSubfolder", "abra.rvm", "folder/../abra.rvm"),
          unwritable("symlinkAsDestination", "abra.rvm", "link.rvm"),
          unwritable("symlinkAsSource", "link.rvm", "abra.rvm"),
          unwritable("symlinkToHardLink", "link.rvm", "hard.rvm"),
          {"devNullSource",
           {"/dev/null", "out"},
           invalid,
           1,
           Bytes{},
           {},
           testing::kStaleDestination},
      });
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, RavmoltExecutableRun, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Writes that fail partway -------------------------------------------------------------------

// A tmpfs of 64 KiB mounted on `where` for the scope; mounted() is false where that is not
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

// A new file, an old one, an old one with a second hard link ("other"), or a symbolic link to an
// old one.
enum class Destination { fresh, existing, hardLinked, symlink };

// The destination is on a 64 KiB tmpfs, or (sizeLimit > 0) the run may write files of only that
// size, with SIGXFSZ ignored or at its default action, which the command ignores itself.
struct WriteFailure {
  const char* name;
  rlim_t sizeLimit;
  std::string source;
  Destination destination;
  bool fits;
  bool signalIgnored = true;
};
void PrintTo(const WriteFailure& w, std::ostream* os) { *os << w.name; }

class RavmoltExecutableWrite : public RavmoltExecutable,
                               public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(RavmoltExecutableWrite, LeavesTheWholeOutputOrNoIncompleteFile) {
  const WriteFailure& w = GetParam();
  std::optional<SmallTmpfs> tmpfs;
  std::string folder;
  if (w.sizeLimit == 0) {
    tmpfs.emplace(dir_ / "small");
    if (!tmpfs->mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    folder = "small/";
  }
  const bool link = w.destination == Destination::symlink;
  const std::string written = folder + (link ? "target" : "out");  // the file the run writes
  if (link) fs::create_symlink(written, dir_ / "link");
  if (w.destination != Destination::fresh) writeBytes(dir_ / written, Bytes(100, 'x'));
  if (w.destination == Destination::hardLinked) {
    fs::create_hard_link(dir_ / written, dir_ / (folder + "other"));
  }
  const std::set<std::string> others = names(written);

  const RunResult result = run(
      {w.source, link ? "link" : written},
      w.sizeLimit == 0 ? ToolProcess::ChildSetup{} : fileSizeLimit(w.sizeLimit, w.signalIgnored));
  if (w.fits) {
    expectExit(result, testing::successTranscript(), 0);
    EXPECT_EQ(readBytes(dir_ / written),
              w.source == "abra.rvm" ? bytesOf("abracadabra") : largeData());
  } else if (link) {
    expectExit(result, testing::unableToWriteTranscript(), 1);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link")) << "only a file the run created is removed";
    ASSERT_TRUE(fs::exists(dir_ / written));
    EXPECT_EQ(readBytes(dir_ / written), Bytes{});
  } else {
    expectExit(result, testing::unableToWriteTranscript(), 1);
    EXPECT_FALSE(fs::exists(dir_ / written)) << "the incomplete file was left";
  }
  if (w.destination == Destination::hardLinked) {
    EXPECT_EQ(readBytes(dir_ / (folder + "other")), Bytes{}) << "another name keeps partial output";
  }
  EXPECT_EQ(names(written), others);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RavmoltExecutableWrite,
    ::testing::Values(
        WriteFailure{"limitExactlyTheOutput", kLargeSize, "large.rvm", Destination::fresh, true},
        WriteFailure{"limitOneByteShort", kLargeSize - 1, "large.rvm", Destination::fresh, false},
        WriteFailure{"limitWithinTheFirstBuffer", 4096, "large.rvm", Destination::fresh, false},
        WriteFailure{"limitInTheMiddleOfALargeDecode", 1 << 20, "large.rvm", Destination::fresh,
                     false},
        WriteFailure{"limitThroughASymlink", 4096, "large.rvm", Destination::symlink, false},
        // The command ignores SIGXFSZ itself: the write fails and is reported.
        WriteFailure{"limitWithTheSignalAtItsDefault", 100000, "large.rvm", Destination::fresh,
                     false, false},
        // The mount itself works: a small output fits.
        WriteFailure{"tmpfsSmallOutputFits", 0, "abra.rvm", Destination::fresh, true},
        WriteFailure{"tmpfsFullNewFile", 0, "large.rvm", Destination::fresh, false},
        WriteFailure{"tmpfsFullExistingFile", 0, "large.rvm", Destination::existing, false},
        WriteFailure{"tmpfsFullThroughASymlink", 0, "large.rvm", Destination::symlink, false},
        WriteFailure{"tmpfsFullWithASecondHardLink", 0, "large.rvm", Destination::hardLinked,
                     false}),
    [](const auto& info) { return std::string(info.param.name); });

// Two small tmpfs mounts number their files alike, so the first file of each has the inode number
// of the other's: one the source, one the destination, they are two files, not one, and the run
// restores into the second.
TEST_F(RavmoltExecutable, EqualInodeNumbersOnTwoFileSystemsAreTwoFiles) {
  const SmallTmpfs one(dir_ / "one");
  const SmallTmpfs two(dir_ / "two");
  if (!one.mounted() || !two.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  writeBytes(dir_ / "one" / "in.rvm", kAbracadabra);
  writeBytes(dir_ / "two" / "out", Bytes(5000, 'x'));
  struct stat source;
  struct stat destination;
  ASSERT_EQ(::stat((dir_ / "one" / "in.rvm").c_str(), &source), 0);
  ASSERT_EQ(::stat((dir_ / "two" / "out").c_str(), &destination), 0);
  ASSERT_NE(source.st_dev, destination.st_dev);
  if (source.st_ino != destination.st_ino) {
    GTEST_SKIP() << "the two mounts gave their files different inode numbers";
  }
  expectExit(run({"one/in.rvm", "two/out"}), testing::successTranscript(), 0);
  EXPECT_EQ(readBytes(dir_ / "two" / "out"), bytesOf("abracadabra"));
  EXPECT_EQ(readBytes(dir_ / "one" / "in.rvm"), kAbracadabra);
}

// --- Permissions ---------------------------------------------------------------------------------

// Runs the tool as user nobody when the tests run as root, since root ignores file modes.
class RavmoltExecutableAsNobody : public RavmoltExecutable {
 protected:
  void SetUp() override {
    RavmoltExecutable::SetUp();
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (nobody == nullptr) GTEST_SKIP() << "no user nobody to run as";
      uid_ = nobody->pw_uid;
      gid_ = nobody->pw_gid;
      if (testing::runTool({}, [this] { return dropPrivileges(); }).exitCode == 127) {
        GTEST_SKIP() << "cannot switch to user nobody";
      }
    }
    // Only the modes a test sets may stop the run, not the folder's or the source's.
    fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
    fs::permissions(dir_ / "large.rvm", static_cast<fs::perms>(0644));
  }
  bool dropPrivileges() const {
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid_, gid_, gid_) == 0 &&
           ::setresuid(uid_, uid_, uid_) == 0 && ::geteuid() == uid_;
  }
  RunResult runAsNobody(std::vector<std::string> args) {
    return run(std::move(args), [this] { return dropPrivileges(); });
  }

  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(RavmoltExecutableAsNobody, UnreadableSourceIsNotFoundAndNothingIsCreated) {
  writeBytes(dir_ / "secret.rvm", kAbracadabra);
  fs::permissions(dir_ / "secret.rvm", fs::perms::none);
  expectExit(runAsNobody({"secret.rvm", "out"}), testing::fileNotFoundTranscript(), 1);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  fs::permissions(dir_ / "secret.rvm", fs::perms::owner_read);
  EXPECT_EQ(readBytes(dir_ / "secret.rvm"), kAbracadabra);
}

TEST_F(RavmoltExecutableAsNobody, ReadOnlyDestinationKeepsItsContents) {
  writeBytes(dir_ / "out", Bytes(5000, 'k'));
  fs::permissions(dir_ / "out", static_cast<fs::perms>(0444));
  expectExit(runAsNobody({"large.rvm", "out"}), testing::unableToWriteTranscript(), 1);
  EXPECT_EQ(readBytes(dir_ / "out"), Bytes(5000, 'k'));
}

TEST_F(RavmoltExecutableAsNobody, ReadOnlyFolderGetsNoDestination) {
  fs::create_directory(dir_ / "locked");
  fs::permissions(dir_ / "locked", static_cast<fs::perms>(0555));
  expectExit(runAsNobody({"large.rvm", "locked/out"}), testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(fs::is_empty(dir_ / "locked"));
}

// --- Runs that a signal ends ---------------------------------------------------------------------

struct Frozen {
  int state = 0;              // si_code of the last wait: CLD_STOPPED while the run is frozen
  std::uint64_t written = 0;  // bytes in the destination then
};

// Stops the run with SIGSTOP and lets it go on a millisecond at a time until the destination
// holds its first bytes; the run is left stopped then, or it has ended, or 20 s have passed.
Frozen freezeOnceWritten(pid_t pid, const fs::path& destination) {
  Frozen frozen;
  for (int i = 0; i < 20000 && ::kill(pid, SIGSTOP) == 0; ++i) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) break;
    frozen.state = info.si_code;
    if (frozen.state != CLD_STOPPED) break;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(destination, error);
    frozen.written = error ? 0 : size;
    if (frozen.written > 0) break;
    ::kill(pid, SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return frozen;
}

// Starts the tool on `args` with `setup` into `tool` and freezes it once it has written. Niced by
// its setup, the whole run still takes only a few tenths of a second (under emulation too), and
// on a busy machine it may end before the test is given the processor again to freeze it: such a
// run proves nothing, so it must have succeeded, and it is started again, a few times at most.
Frozen startFrozen(std::optional<ToolProcess>& tool, const std::vector<std::string>& args,
                   const ToolProcess::ChildSetup& setup, const fs::path& destination) {
  Frozen frozen;
  for (int attempt = 0; attempt < 5 && frozen.state != CLD_STOPPED; ++attempt) {
    if (tool) {
      const RunResult early = tool->finish();
      EXPECT_TRUE(early.exited && early.exitCode == 0) << "the run failed before it was frozen";
      if (!early.exited || early.exitCode != 0) break;
      fs::remove(destination);
    }
    tool.emplace(args, setup);
    if (!tool->start() || tool->pid() <= 0) break;
    frozen = freezeOnceWritten(tool->pid(), destination);
  }
  return frozen;
}

// A signal sent to a run frozen mid-decode, and whether the command was started with it ignored.
struct SignalCase {
  const char* name;
  int signal;
  bool ignoredAtStart = false;
};
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class RavmoltExecutableSignal : public RavmoltExecutable,
                                public ::testing::WithParamInterface<SignalCase> {};

// A signal the command handles ends the run by that signal and leaves no destination; SIGKILL
// leaves a prefix of the output. One the command was started with ignored (under nohup, say)
// stays ignored: the run goes on to the whole output.
TEST_P(RavmoltExecutableSignal, FrozenMidRunItEndsByTheSignal) {
  const SignalCase& c = GetParam();
  // 256 MiB of output from a 32 MiB source: the first bytes come long before the end.
  const auto file = testing::OneBitFile::twoSymbols(std::int32_t{1} << 28);
  ASSERT_TRUE(file.write(dir_ / "big.rvm"));
  const Bytes source = readBytes(dir_ / "big.rvm");
  const std::set<std::string> others = names("out");

  // Niced, so that on a busy machine the run does not crowd out the test that freezes it.
  const auto setup = [&c] {
    const rlimit noCore{0, 0};  // SIGQUIT's default action would leave a core file here
    return ::setpriority(PRIO_PROCESS, 0, 19) == 0 && ::setrlimit(RLIMIT_CORE, &noCore) == 0 &&
           (!c.ignoredAtStart || ::signal(c.signal, SIG_IGN) != SIG_ERR);
  };
  std::optional<ToolProcess> tool;
  const Frozen frozen = startFrozen(tool, {"big.rvm", "out"}, inFolder(setup), dir_ / "out");
  const pid_t pid = tool ? tool->pid() : 0;
  ASSERT_EQ(frozen.state, CLD_STOPPED) << "every run ended before it was frozen";
  ASSERT_GT(frozen.written, 0u) << "the run wrote nothing in 20 s";
  EXPECT_LT(frozen.written, file.outputSize()) << "the run was frozen only after its last write";

  ASSERT_EQ(::kill(pid, c.signal), 0);
  ASSERT_EQ(::kill(pid, SIGCONT), 0);
  const RunResult result = tool->finish();
  if (c.ignoredAtStart) {
    expectExit(result, testing::successTranscript(), 0);
    EXPECT_EQ(file.matchingPrefix(dir_ / "out"), file.outputSize()) << "not the whole output";
  } else {
    expectKilledMidRun(result, c.signal);
    expectInterruptedDestination(c.signal, dir_ / "out", file.matchingPrefix(dir_ / "out"),
                                 frozen.written);
  }
  // qemu-user says on its own standard error that a signal whose default dumps core ended the
  // program it ran.
  RunResult checked = result;
  if (!std::string_view(RAVMOLT_TOOL_LAUNCHER).empty() &&
      checked.err.starts_with("qemu: uncaught target signal")) {
    checked.err.clear();
  }
  expectFixtureIntact(checked);
  EXPECT_TRUE(readBytes(dir_ / "big.rvm") == source) << "the source changed";
  EXPECT_EQ(names("out"), others);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, RavmoltExecutableSignal,
    ::testing::Values(SignalCase{"sigint", SIGINT}, SignalCase{"sigterm", SIGTERM},
                      SignalCase{"sighup", SIGHUP},
                      SignalCase{"sighupIgnoredAtStart", SIGHUP, true},
                      SignalCase{"sigquit", SIGQUIT}, SignalCase{"sigusr1", SIGUSR1},
                      SignalCase{"sigusr2", SIGUSR2}, SignalCase{"sigalrm", SIGALRM},
                      SignalCase{"sigvtalrm", SIGVTALRM}, SignalCase{"sigprof", SIGPROF},
                      SignalCase{"sigrtmin", SIGRTMIN}, SignalCase{"sigkill", SIGKILL}),
    [](const auto& info) { return std::string(info.param.name); });

// A signal at a random moment of a run, many times, on one processor (one thread) or two (the
// helper thread writes too), into an existing destination reached by its own name, through a
// symbolic link or beside a second hard link. Whenever the signal lands, every name holds the old
// contents (the run had not begun), nothing (cleaned up) or the whole output; never a part of it,
// and never an old file emptied and left (a signal between its truncation and its listing).
struct RandomSignalCase {
  const char* name;
  bool oneProcessor;
  Destination destination;
  std::int32_t outputSize;
  int attempts = 25;
};
void PrintTo(const RandomSignalCase& c, std::ostream* os) { *os << c.name; }

class RavmoltExecutableRandomSignal : public RavmoltExecutable,
                                      public ::testing::WithParamInterface<RandomSignalCase> {};

TEST_P(RavmoltExecutableRandomSignal, NoNameEverKeepsPartOfTheOutput) {
  const RandomSignalCase& c = GetParam();
  if (!c.oneProcessor && std::thread::hardware_concurrency() < 2) {
    GTEST_SKIP() << "one processor: the helper thread is never started";
  }
  const auto file = testing::OneBitFile::twoSymbols(c.outputSize);
  ASSERT_TRUE(file.write(dir_ / "big.rvm"));
  const bool link = c.destination == Destination::symlink;
  const fs::path written = dir_ / (link ? "target" : "out");
  const Bytes old(5000, 'x');
  const auto setup = [&c] {
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    return !c.oneProcessor || ::sched_setaffinity(0, sizeof first, &first) == 0;
  };
  const auto prepare = [&] {
    for (const char* name : {"out", "target", "other"}) fs::remove(dir_ / name);
    writeBytes(written, old);
    if (link) fs::create_symlink("target", dir_ / "out");
    if (c.destination == Destination::hardLinked) fs::create_hard_link(written, dir_ / "other");
  };
  // The signals land anywhere in a run's time, its start and end included.
  prepare();
  const auto begin = std::chrono::steady_clock::now();
  expectExit(run({"big.rvm", "out"}, setup), testing::successTranscript(), 0);
  const auto span = std::chrono::steady_clock::now() - begin;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<std::int64_t> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(span).count());
  for (int attempt = 0; attempt < c.attempts; ++attempt) {
    prepare();
    ToolProcess tool({"big.rvm", "out"}, inFolder(setup));
    ASSERT_TRUE(tool.start());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    ::kill(tool.pid(), SIGINT);
    const RunResult result = tool.finish();
    ASSERT_TRUE(result.exited ? result.exitCode == 0 : result.signal == SIGINT) << result.out;
    const bool kept = fs::exists(written);
    const Bytes left = kept ? readBytes(written) : Bytes{};
    const bool whole = file.matchingPrefix(written) == file.outputSize();
    ASSERT_TRUE(left.empty() || left == old || whole) << attempt << ": " << left.size() << " bytes";
    // The second name holds what the first does, and nothing once the first is removed.
    if (c.destination == Destination::hardLinked) {
      EXPECT_TRUE(readBytes(dir_ / "other") == left);
    }
    // Reached by its own name, an emptied file is the old contents lost and nothing cleaned up;
    // through a link, the file is emptied and both kept.
    EXPECT_TRUE(link ? kept && fs::is_symlink(dir_ / "out") : !kept || !left.empty()) << attempt;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, RavmoltExecutableRandomSignal,
    ::testing::Values(
        RandomSignalCase{"oneThreadThroughASymlink", true, Destination::symlink, 1 << 24},
        RandomSignalCase{"oneThreadBesideAHardLink", true, Destination::hardLinked, 1 << 24},
        RandomSignalCase{"twoThreadsThroughASymlink", false, Destination::symlink, 1 << 24},
        RandomSignalCase{"twoThreadsBesideAHardLink", false, Destination::hardLinked, 1 << 24},
        // 10 KB: the signals mostly land while the files are opened and the output written.
        RandomSignalCase{"smallOutputByItsOwnName", false, Destination::existing, 80'000, 100}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Destinations the run must not, or cannot, write to the end ----------------------------------

// Standard output and the files the run was given. The file it writes to, by its own name or as
// /dev/stdout, would get restored bytes mixed into the console text: refused before anything is
// truncated. Standard output into the source (`>> abra.rvm`, `1<> abra.rvm`) would put the console
// text into it: refused with nothing printed there, the line on standard error instead. The null
// device keeps nothing, so it may be both (the null device is the one node this test writes to).
struct OutputCase {
  const char* destination;
  const char* output;  // what standard output is opened on, in the folder
  int flags;
  int exitCode;
  std::string console;  // what reaches standard output's file
  std::string error;
};

TEST_F(RavmoltExecutable, StandardOutputMayNotBeTheDestinationOrTheSourceFile) {
  const std::string unable = testing::unableToWriteTranscript();
  const std::string abra(kAbracadabra.begin(), kAbracadabra.end());
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  const OutputCase cases[] = {
      {"/dev/stdout", "captured", create, 1, unable, ""},
      {"captured", "captured", create, 1, unable, ""},
      {"out", "abra.rvm", O_WRONLY | O_APPEND, 1, abra, "Unable to write.\n"},
      {"out", "abra.rvm", O_RDWR, 1, abra, "Unable to write.\n"},
      {"/dev/null", "/dev/null", O_WRONLY, 0, "", ""},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " with standard output on " + c.output);
    const std::string output = c.output[0] == '/' ? c.output : (dir_ / c.output).string();
    const RunResult result =
        testing::runTool({"abra.rvm", c.destination}, inFolder([&] {
                           const int fd = ::open(output.c_str(), c.flags, 0644);
                           return fd >= 0 && ::dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
                         }));
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err, c.error);
    if (c.output[0] != '/') {
      EXPECT_EQ(readBytes(output), bytesOf(c.console));
    }
    EXPECT_FALSE(fs::exists(dir_ / "out"));
    fs::remove(dir_ / "captured");
    expectFixtureIntact({});
  }
}

// A second run into a destination that a run is restoring into is refused before it truncates
// anything, whichever name it is given; the first goes on to the whole output.
TEST_F(RavmoltExecutable, ASecondRunIntoTheSameDestinationIsRefused) {
  const auto file = testing::OneBitFile::twoSymbols(std::int32_t{1} << 28);
  ASSERT_TRUE(file.write(dir_ / "big.rvm"));
  fs::create_symlink("out", dir_ / "alias");
  std::optional<ToolProcess> tool;
  const Frozen frozen =
      startFrozen(tool, {"big.rvm", "out"},
                  inFolder([] { return ::setpriority(PRIO_PROCESS, 0, 19) == 0; }), dir_ / "out");
  ASSERT_EQ(frozen.state, CLD_STOPPED) << "every first run ended before it was frozen";
  ToolProcess& first = *tool;
  for (const char* name : {"out", "alias", "@"}) {
    const std::string destination = name[0] == '@' ? (dir_ / "out").string() : name;
    expectExit(run({"abra.rvm", destination}), testing::unableToWriteTranscript(), 1);
    EXPECT_GE(fs::file_size(dir_ / "out"), frozen.written) << "the second run truncated it";
  }
  ASSERT_EQ(::kill(first.pid(), SIGCONT), 0);
  expectExit(first.finish(), testing::successTranscript(), 0);
  EXPECT_EQ(file.matchingPrefix(dir_ / "out"), file.outputSize());
  // Once the first run is over the lock is gone.
  expectExit(run({"abra.rvm", "out"}), testing::successTranscript(), 0);
}

// A destination the run creates gets the source's permission bits less the umask; an existing one
// keeps its own.
TEST_F(RavmoltExecutable, ANewDestinationGetsTheSourcesModeLessTheUmask) {
  struct Row {
    mode_t source, umask, existing, expected;  // existing 0: no file before the run
  };
  for (const Row& row : {Row{0600, 022, 0, 0600}, Row{0644, 077, 0, 0600}, Row{0755, 022, 0, 0755},
                         Row{0600, 022, 0664, 0664}}) {
    SCOPED_TRACE(std::to_string(row.source) + " " + std::to_string(row.existing));
    fs::remove(dir_ / "out");
    ASSERT_EQ(::chmod((dir_ / "abra.rvm").c_str(), row.source), 0);
    if (row.existing != 0) {
      writeBytes(dir_ / "out", Bytes(10, 'x'));
      ASSERT_EQ(::chmod((dir_ / "out").c_str(), row.existing), 0);
    }
    expectExit(run({"abra.rvm", "out"},
                   [&row] {
                     ::umask(row.umask);
                     return true;
                   }),
               testing::successTranscript(), 0);
    struct stat info;
    ASSERT_EQ(::stat((dir_ / "out").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, row.expected);
  }
}

// A symbolic link that another user planted in a sticky folder anyone may write to (/tmp, say) is
// refused, as the kernel's protected_symlinks rule would refuse to follow it, whether or not the
// machine enforces that rule: root would otherwise write wherever the link points. Links that
// the caller or the folder's owner made, and links in other folders, are followed.
TEST_F(RavmoltExecutable, APlantedSymlinkInASharedStickyFolderIsRefused) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and a user nobody";
  struct Row {
    mode_t folderMode;
    bool folderOwnedByNobody, linkOwnedByNobody, refused;
  };
  fs::create_directory(dir_ / "shared");
  for (const Row& row : {Row{01777, false, true, true},  // another user's link
                         Row{01777, false, false, false}, Row{01777, true, true, false},
                         Row{0777, false, true, false}, Row{01775, false, true, false}}) {
    SCOPED_TRACE(std::to_string(row.folderMode) + (row.linkOwnedByNobody ? " nobody's" : ""));
    const fs::path link = dir_ / "shared" / "link";
    fs::remove(link);
    writeBytes(dir_ / "target", Bytes(10, 'x'));
    fs::create_symlink(dir_ / "target", link);
    const uid_t folderOwner = row.folderOwnedByNobody ? nobody->pw_uid : 0;
    ASSERT_EQ(::chown((dir_ / "shared").c_str(), folderOwner, 0), 0);
    ASSERT_EQ(::chmod((dir_ / "shared").c_str(), row.folderMode), 0);
    ASSERT_EQ(::lchown(link.c_str(), row.linkOwnedByNobody ? nobody->pw_uid : 0, 0), 0);
    expectExit(run({"abra.rvm", "shared/link"}),
               row.refused ? testing::unableToWriteTranscript() : testing::successTranscript(),
               row.refused ? 1 : 0);
    EXPECT_EQ(readBytes(dir_ / "target"), row.refused ? Bytes(10, 'x') : bytesOf("abracadabra"));
    EXPECT_TRUE(fs::is_symlink(link));
  }
}

// A pipe whose reader goes away: the write fails and is reported, where the default action of
// SIGPIPE would end the run silently.
TEST_F(RavmoltExecutable, APipeWhoseReaderGoesAwayIsAFailedWrite) {
  const auto pipe = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  const std::set<std::string> others = names("pipe");
  std::thread reader([path = pipe.string()] {
    const int fd = ::open(path.c_str(), O_RDONLY);  // waits for the run to open it
    char some[4096];
    if (fd >= 0 && ::read(fd, some, sizeof some) >= 0) ::close(fd);
  });
  const RunResult result = run({"large.rvm", "pipe"});
  reader.join();
  expectExit(result, testing::unableToWriteTranscript(), 1);
  struct stat info;
  ASSERT_EQ(::lstat(pipe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the pipe was removed or replaced";
  EXPECT_EQ(names("pipe"), others);
}

bool underEmulation() { return !std::string_view(RAVMOLT_TOOL_LAUNCHER).empty(); }

// Address-space limits from generous down to where the program cannot even start: at every one
// the run restores the file or reports that it could not write it and leaves no file; no limit
// makes it abort or leave part of the output.
TEST_F(RavmoltExecutable, AnyMemoryLimitEndsInTheOutputOrNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than any limit here";
#endif
  if (underEmulation()) GTEST_SKIP() << "the limit would bind the emulator, not the tool";
  int refused = 0;
  for (rlim_t mib = 64; mib >= 1; --mib) {
    SCOPED_TRACE(std::to_string(mib) + " MiB of address space");
    const RunResult result = testing::runTool({"large.rvm", "out"}, inFolder([mib] {
                                                const rlimit limit{mib << 20, mib << 20};
                                                return ::setrlimit(RLIMIT_AS, &limit) == 0;
                                              }));
    // Too little to load the program at all: the loader says so on standard error.
    if (!result.exited || result.exitCode == 127) break;
    expectFixtureIntact(result);
    if (result.exitCode == 0) {
      EXPECT_EQ(result.out, testing::successTranscript());
      EXPECT_TRUE(readBytes(dir_ / "out") == largeData()) << "the output differs";
    } else {
      ++refused;
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.out, testing::unableToWriteTranscript());
      EXPECT_FALSE(fs::exists(dir_ / "out")) << "a file was left";
    }
    fs::remove(dir_ / "out");
  }
  EXPECT_GT(refused, 0) << "no limit was tight enough to refuse the run";
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

// Makes every close() of descriptor `fd` fail with EIO, for this process and what it executes.
bool failClosesOf(int fd) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A close that fails can lose written bytes: the run reports it, and the file it wrote through a
// symbolic link is emptied, the link kept. The destination is the run's descriptor 4, after the
// three standard ones and the source, once the descriptors a test runner leaves open are closed.
TEST_F(RavmoltExecutable, AFailedCloseThroughASymlinkEmptiesTheTarget) {
  if (kAuditArch == 0 || underEmulation()) {
    GTEST_SKIP() << "no filter for this processor's system calls here";
  }
  writeBytes(dir_ / "target", Bytes(100, 'x'));
  fs::create_symlink("target", dir_ / "link");
  const RunResult result = run({"abra.rvm", "link"}, [] {
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    return failClosesOf(4);
  });
  expectExit(result, testing::unableToWriteTranscript(), 1);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(readBytes(dir_ / "target"), Bytes{});
}

}  // namespace
}  // namespace ravmolt
