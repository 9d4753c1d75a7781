#include "ravmolt/ravmolt.h"

#include "engine/decompressor.h"
#include "engine/io/destination_stream.h"
#include "engine/io/file_decode.h"
#include "engine/io/source_stream.h"

namespace ravmolt {

// The public header promises sinks blocks of at most 256 KiB.
static_assert(DestinationStream::kBufferSize <= std::size_t{256} << 10);

// The public header spells out SinkFunction so that it needs no internal header. This file sees
// both declarations, and redeclaring an alias compiles only with the very same type, so the two
// cannot drift apart.

DecodeStatus decompressFile(const char* sourcePath, const char* destinationPath) {
  return decodeFile(sourcePath, destinationPath);
}

DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, SinkFunction sink,
                              void* context) {
  SourceStream source(compressed);
  DestinationStream destination(sink, context);
  DecodeStatus status = Decompressor(source, destination).decode();
  // The decoder leaves its last block buffered; an invalid file has put nothing there.
  if (status == DecodeStatus::success && !destination.flush()) status = DecodeStatus::writeFailed;
  return status;
}

const char* describeStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::success:
      return "the file was restored";
    case DecodeStatus::invalidFormat:
      return "the source is not a valid compressed file";
    case DecodeStatus::sourceNotFound:
      return "the source file cannot be opened for reading";
    case DecodeStatus::destinationUnwritable:
      return "the destination file cannot be created or truncated";
    case DecodeStatus::sameFile:
      return "the source and the destination are the same file";
    case DecodeStatus::writeFailed:
      return "the restored bytes could not all be written";
  }
  return "unknown decode status";
}

}  // namespace ravmolt
