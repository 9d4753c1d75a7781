// Runs of the tool on POSIX systems: fork and exec, the child's status or terminating signal and
// its resource usage. Included by tests/tool_process.h.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace ravmolt::testing {

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
