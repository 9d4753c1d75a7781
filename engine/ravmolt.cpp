// The public interface: the decoder between two files, or from memory to a caller's sink.
#include "ravmolt/ravmolt.h"

#include "engine/decompressor.h"
#include "engine/io/destination_stream.h"
#include "engine/io/run_files.h"
#include "engine/io/source_stream.h"

namespace ravmolt {

// The public header promises sinks blocks of at most 256 KiB.
static_assert(DestinationStream::kSinkBlockSize <= std::size_t{256} << 10);

// The public header spells out SinkFunction so that it needs no internal header. This file sees
// both declarations, and redeclaring an alias compiles only with the very same type, so the two
// cannot drift apart.

DecodeStatus decompressFile(const char* sourcePath, const char* destinationPath) {
  RunFiles files;
  DecodeStatus status = files.open(sourcePath, destinationPath);
  if (status != DecodeStatus::success) return status;
  {
    SourceStream source(files.source(), files.sourceSize());
    DestinationStream destination(files.destination());
    status = Decompressor(source, destination, 2).decode();
  }
  return files.close(status);
}

DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, SinkFunction sink,
                              void* context) {
  SourceStream source(compressed);
  DestinationStream destination(sink, context);
  return Decompressor(source, destination).decode();
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
