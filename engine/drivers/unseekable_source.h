// A source that cannot seek (a pipe, a terminal, a device), which has no size to check a file
// against and cannot be read at an offset. A short one is read whole into memory and decoded as
// a buffer is, so that every check comes before any output, as for a file on disk; a longer one
// is decoded as it comes, through the streaming decoder, whose header and table checks still
// come first, but whose payload can turn out to be cut short after output was written.
#pragma once

#include <cstddef>

#include "engine/io/destination_stream.h"
#include "engine/io/native_file.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// Sources up to this size are read whole before decoding.
inline constexpr std::size_t kWholeInMemory = std::size_t{4} << 20;

struct UnseekableOutcome {
  DecodeStatus status = DecodeStatus::success;
  // The source ended before its payload's last code, after output was written: the destination
  // holds part of the file and must not be kept.
  bool cutShort = false;
};

// Decodes the source that `source` reads from where it stands into `destination`, leaving
// nothing buffered. Returns success, invalidFormat or writeFailed (with destination.outOfMemory()
// when memory was short).
[[nodiscard]] UnseekableOutcome decodeUnseekable(NativeFile source, DestinationStream& destination);

}  // namespace ravmolt
