// Runs the real ravmolt executable for tests: its standard output and error captured, its exit
// status or terminating signal and its resource usage reported, with a hook that adjusts the
// child (folder, limits, signal dispositions, user) just before it starts, and the console text
// of each outcome.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/temp_folder.h"

namespace ravmolt::testing {

// What the tool prints, written out byte for byte rather than taken from the program's own
// strings: users and scripts read this text, so any change to it must fail a test.
inline constexpr std::string_view kBanner =
    "============================================================================\n"
    "|        Quorvellian's Implementation of Huffman Compression Engine v2.0   |\n"
    "|                       Decompress a file 2002                             |\n";

// The whole console text of a run whose fourth line is `result`.
inline std::string transcript(std::string_view result) {
  return std::string(kBanner).append(result) + '\n';
}
inline std::string usageTranscript() {
  return transcript("Usage: ravmolt [sourceFile] [destinationFile]");
}
inline std::string successTranscript() { return transcript(" Working....Done."); }
inline std::string fileNotFoundTranscript() { return transcript(" Working....File not found."); }
inline std::string unableToWriteTranscript() { return transcript(" Working....Unable to write."); }
inline std::string invalidTranscript() {
  return transcript(" Working....Bad checksum.  Invalid format........Done.");
}
// A run ended by a signal while it decodes has printed the progress word and no line end.
inline std::string interruptedTranscript() { return std::string(kBanner) + " Working...."; }

struct RunResult {
  bool exited = false;  // ended by exit() rather than by a signal
  int exitCode = -1;
  int signal = 0;  // the terminating signal when !exited
  std::string out;
  std::string err;
  struct rusage usage {};  // of this child alone
};

// One run of the tool. start() forks and execs; finish() collects the output and the status.
class ToolProcess {
 public:
  // Runs in the child after fork, before exec; returning false makes the child exit with 127.
  using ChildSetup = std::function<bool()>;

  ToolProcess(std::vector<std::string> args, ChildSetup setup = {})
      : args_(std::move(args)), setup_(std::move(setup)) {}
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  ~ToolProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      finish();
    }
  }

  bool start() {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    // The launcher, when the tool was built for another processor: its emulator and options.
    std::vector<std::string> command;
    std::istringstream launcher(RAVMOLT_TOOL_LAUNCHER);
    for (std::string word; launcher >> word;) command.push_back(word);
    command.push_back(RAVMOLT_TOOL_PATH);
    command.insert(command.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      // A run started from a terminal has the default dispositions, whatever the test runner has.
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      ::signal(SIGHUP, SIG_DFL);
      ::signal(SIGPIPE, SIG_DFL);
      ::signal(SIGXFSZ, SIG_DFL);
      if (setup_ && !setup_()) ::_exit(127);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    return pid_ > 0;
  }

  pid_t pid() const { return pid_; }

  RunResult finish() {
    RunResult result;
    drain(result);
    int status = 0;
    while (::wait4(pid_, &status, 0, &result.usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
  }

 private:
  void drain(RunResult& result) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          texts[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
  }

  std::vector<std::string> args_;
  ChildSetup setup_;
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
};

// Runs the tool to the end with `args`.
inline RunResult runTool(std::vector<std::string> args, ToolProcess::ChildSetup setup = {}) {
  ToolProcess process(std::move(args), std::move(setup));
  if (!process.start()) return {};
  return process.finish();
}

}  // namespace ravmolt::testing
