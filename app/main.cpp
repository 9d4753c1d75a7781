// ravmolt sourceFile destinationFile: restores a compressed file. Prints the banner, a progress
// word and one result line on standard output; exits 0 on success and 1 on any failure.
#include <cstdio>
#include <string_view>

#include "app/messages.h"
#include "app/process.h"
#include "ravmolt/ravmolt.h"

namespace {

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void printLine(std::string_view text) {
  print(text);
  print("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  namespace messages = ravmolt::messages;
  ravmolt::app::handleSignals();
  for (std::string_view line : messages::kBanner) printLine(line);
  if (argc != 3) {
    printLine(messages::kUsage);
    return 1;
  }
  print(messages::kWorking);
  std::fflush(stdout);
  // Restored bytes written where the console text goes would be mixed with it: refused as the
  // source itself is, before anything is truncated.
  if (ravmolt::app::isStandardOutput(argv[2])) {
    printLine(messages::kUnableToWrite);
    return 1;
  }

  switch (ravmolt::decompressFile(argv[1], argv[2])) {
    case ravmolt::DecodeStatus::success:
      printLine(messages::kDone);
      return 0;
    case ravmolt::DecodeStatus::invalidFormat:
      print(messages::kInvalidFormat);
      printLine(messages::kDone);
      return 1;
    case ravmolt::DecodeStatus::sourceNotFound:
      printLine(messages::kFileNotFound);
      return 1;
    case ravmolt::DecodeStatus::destinationUnwritable:
    case ravmolt::DecodeStatus::sameFile:
    case ravmolt::DecodeStatus::writeFailed:
      printLine(messages::kUnableToWrite);
      return 1;
  }
  return 1;
}
