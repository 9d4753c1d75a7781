// How a decode went. The driver turns each value into its console line and exit status.
#pragma once

#include <cstdint>

namespace ravmolt {

enum class DecodeStatus : std::uint8_t {
  success,
  invalidFormat,   // bad checksum, cut-short header or table, bits without codes, short payload
  sourceNotFound,  // the source could not be opened for reading, or is a directory
  destinationUnwritable,  // the destination could not be opened or truncated
  sameFile,               // the destination names the source; nothing was opened for writing
  writeFailed,            // a write, flush or close of the destination failed
};

}  // namespace ravmolt
