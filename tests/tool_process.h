// Runs the real ravmolt executable for tests: its standard output and error captured, its exit
// status (or terminating signal) reported, and the console text of each outcome. Starting a run
// is the platform's own: tool_process_posix.h (fork and exec, with a hook that adjusts the child
// just before it starts) or tool_process_win32.h (CreateProcessW in a given folder).
#pragma once

#include <string>
#include <string_view>

#include "tests/temp_folder.h"

namespace ravmolt::testing {

// The line end the console receives: standard output is in text mode, so on Windows each newline
// reaches it as CR LF.
#if defined(_WIN32)
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// What the tool prints, written out byte for byte rather than taken from the program's own
// strings: users and scripts read this text, so any change to it must fail a test.
inline std::string banner() {
  std::string text;
  for (const std::string_view line :
       {"============================================================================",
        "|        Quorvellian's Implementation of Huffman Compression Engine v2.0   |",
        "|                       Decompress a file 2002                             |"}) {
    text.append(line).append(kLineEnd);
  }
  return text;
}

// The whole console text of a run whose fourth line is `result`.
inline std::string transcript(std::string_view result) {
  return banner().append(result).append(kLineEnd);
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
inline std::string interruptedTranscript() { return banner() + " Working...."; }

}  // namespace ravmolt::testing

#if defined(_WIN32)
#include "tests/tool_process_win32.h"
#else
#include "tests/tool_process_posix.h"
#endif
