// Every piece of text the tool prints, exactly as users and scripts see it. The tests write each
// text out byte for byte rather than use these constants, so that a change here, which is a change
// to the tool's interface, fails them.
#pragma once

#include <string_view>

namespace ravmolt::messages {

inline constexpr std::string_view kBanner[] = {
    "============================================================================",
    "|        Quorvellian's Implementation of Huffman Compression Engine v2.0   |",
    "|                       Decompress a file 2002                             |",
};
inline constexpr std::string_view kUsage = "Usage: ravmolt [sourceFile] [destinationFile]";
inline constexpr std::string_view kWorking = " Working....";  // no line end: the result follows it
inline constexpr std::string_view kFileNotFound = "File not found.";
inline constexpr std::string_view kUnableToWrite = "Unable to write.";
inline constexpr std::string_view kInvalidFormat = "Bad checksum.  Invalid format........";
inline constexpr std::string_view kDone = "Done.";

static_assert(kBanner[0].size() == 76 && kBanner[1].size() == 76 && kBanner[2].size() == 76);

}  // namespace ravmolt::messages
