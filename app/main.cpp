// ravmolt sourceFile destinationFile: restores a compressed file. Prints the banner, a progress
// word and one result line on standard output; exits 0 on success and 1 on any failure.
#include <cstdio>
#include <string_view>

#include "app/messages.h"
#include "app/process.h"
#include "engine/io/native_file.h"
#include "engine/io/run_files.h"
#include "ravmolt/ravmolt.h"

namespace {

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void printError(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
}

void printLine(std::string_view text) {
  print(text);
  print("\n");
  std::fflush(stdout);
}

}  // namespace

namespace ravmolt::app {

bool isStandardOutput(const char* path) {
  return RunFiles::namesOpenFile(path, standardOutputFile());
}

// Standard output is in text mode: on Windows each "\n" reaches the console as CR LF.
int runCommand(int argc, char** argv) {
  handleInterrupts();
  // Standard output appended to the source (`>> source`, `1<> source`): the console text would
  // go into it, so nothing is printed there at all, and the refusal goes to standard error.
  if (argc == 3 && isStandardOutput(argv[1])) {
    printError(messages::kUnableToWrite);
    return 1;
  }
  for (std::string_view line : messages::kBanner) printLine(line);
  if (argc != 3) {
    printLine(messages::kUsage);
    return 1;
  }
  print(messages::kWorking);
  std::fflush(stdout);
  // Restored bytes written where the console text goes would be mixed with it: refused as the
  // source itself is, before anything is truncated.
  if (isStandardOutput(argv[2])) {
    printLine(messages::kUnableToWrite);
    return 1;
  }

  switch (decompressFile(argv[1], argv[2])) {
    case DecodeStatus::success:
      printLine(messages::kDone);
      return 0;
    case DecodeStatus::invalidFormat:
      print(messages::kInvalidFormat);
      printLine(messages::kDone);
      return 1;
    case DecodeStatus::sourceNotFound:
      printLine(messages::kFileNotFound);
      return 1;
    case DecodeStatus::destinationUnwritable:
    case DecodeStatus::sameFile:
    case DecodeStatus::writeFailed:
      printLine(messages::kUnableToWrite);
      return 1;
  }
  return 1;
}

}  // namespace ravmolt::app
