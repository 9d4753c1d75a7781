// Runs of the tool on Windows: CreateProcessW with the arguments quoted as the C runtime splits
// them, standard output and error through pipes, or standard output into a file. Windows has no
// signals: every run exits, with the status its end gives (STATUS_CONTROL_C_EXIT after Ctrl-C).
// Included by tests/tool_process.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace ravmolt::testing {

struct RunResult {
  bool exited = false;  // always, once the run has ended: no signal ends a Windows process
  int exitCode = -1;    // the exit status; the NTSTATUS of an end by Ctrl-C, as a signed value
  int signal = 0;
  std::string out;
  std::string err;
};

// How to start a run: its working folder, a file that takes its standard output instead of the
// pipe, and flags for CreateProcessW (CREATE_NEW_PROCESS_GROUP, for Ctrl-Break).
struct ToolOptions {
  std::filesystem::path folder;
  std::filesystem::path outputFile;
  DWORD creationFlags = 0;
};

// `text` (UTF-8) in UTF-16.
inline std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// One argument quoted so that the C runtime's splitting gives it back unchanged: backslashes are
// doubled only where a quote follows them.
inline void appendQuoted(std::wstring& line, const std::wstring& argument) {
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

class ToolProcess {
 public:
  explicit ToolProcess(std::vector<std::string> args, ToolOptions options = {})
      : args_(std::move(args)), options_(std::move(options)) {}
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  ~ToolProcess() {
    if (process_ != nullptr) {
      ::TerminateProcess(process_, 1);
      finish();
    }
  }

  bool start() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    if (!::CreatePipe(&errRead_, &errWrite, &inherit, 0)) return false;
    if (options_.outputFile.empty()) {
      if (!::CreatePipe(&outRead_, &outWrite, &inherit, 0)) return false;
    } else {
      outWrite = ::CreateFileW(options_.outputFile.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (outWrite == INVALID_HANDLE_VALUE) return false;
    }
    ::SetHandleInformation(errRead_, HANDLE_FLAG_INHERIT, 0);
    if (outRead_ != nullptr) ::SetHandleInformation(outRead_, HANDLE_FLAG_INHERIT, 0);

    const std::wstring tool = widen(RAVMOLT_TOOL_PATH);
    std::wstring line;
    appendQuoted(line, tool);
    for (const std::string& arg : args_) {
      line += L' ';
      appendQuoted(line, widen(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    const std::wstring folder = options_.folder.wstring();
    const bool started =
        ::CreateProcessW(tool.c_str(), line.data(), nullptr, nullptr, TRUE, options_.creationFlags,
                         nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info) != 0;
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (!started) return false;
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    return true;
  }

  DWORD processId() const { return processId_; }
  HANDLE process() const { return process_; }

  RunResult finish() {
    RunResult result;
    std::thread errors([this, &result] { drain(errRead_, result.err); });
    drain(outRead_, result.out);
    errors.join();
    ::WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(process_, &code)) {
      result.exited = true;
      result.exitCode = static_cast<int>(code);
    }
    ::CloseHandle(process_);
    process_ = nullptr;
    return result;
  }

 private:
  static void drain(HANDLE& pipe, std::string& text) {
    if (pipe == nullptr) return;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
      text.append(buffer, got);
    ::CloseHandle(pipe);
    pipe = nullptr;
  }

  std::vector<std::string> args_;
  ToolOptions options_;
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  HANDLE outRead_ = nullptr;
  HANDLE errRead_ = nullptr;
};

// Runs the tool to the end with `args`.
inline RunResult runTool(std::vector<std::string> args, ToolOptions options = {}) {
  ToolProcess process(std::move(args), std::move(options));
  if (!process.start()) {
    RunResult failed;
    failed.err = "the tool could not be started: error " + std::to_string(::GetLastError());
    return failed;
  }
  return process.finish();
}

}  // namespace ravmolt::testing
