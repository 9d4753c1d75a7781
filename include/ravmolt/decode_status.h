// How a decode went: the statuses the engine itself gives, each with the value of its C status
// (ravmolt_c.h). The driver turns each value into its console line and exit status.
#pragma once

#include <cstdint>

#include "ravmolt/ravmolt_c.h"

namespace ravmolt {

enum class DecodeStatus : std::uint8_t {
  success = RAVMOLT_SUCCESS,
  // bad checksum, cut-short header or table, bits without codes, short payload
  invalidFormat = RAVMOLT_INVALID_FORMAT,
  // the source could not be opened for reading, or is a directory
  sourceNotFound = RAVMOLT_SOURCE_NOT_FOUND,
  // the destination could not be opened or truncated
  destinationUnwritable = RAVMOLT_DESTINATION_UNWRITABLE,
  // the destination names the source; nothing was opened for writing
  sameFile = RAVMOLT_SAME_FILE,
  // a write, flush or close of the destination failed
  writeFailed = RAVMOLT_WRITE_FAILED,
};

}  // namespace ravmolt
