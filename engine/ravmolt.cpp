// The C interface of the library, the only functions that libravmolt.so exports: the decoder
// between two files, or from memory to a caller's sink, its status texts and its version.
// Nothing but plain values crosses it: C++ types and exceptions stay on this side.
#include <string_view>

#include "engine/decompressor.h"
#include "engine/io/destination_stream.h"
#include "engine/io/run_files.h"
#include "engine/io/source_stream.h"
#include "ravmolt/ravmolt_c.h"

namespace ravmolt {
namespace {

// The header promises sinks blocks of at most 256 KiB.
static_assert(DestinationStream::kSinkBlockSize <= std::size_t{256} << 10);
// The build passes the project's version; the header's own numbers must follow it.
static_assert(std::string_view(RAVMOLT_PROJECT_VERSION) == RAVMOLT_VERSION_STRING,
              "update RAVMOLT_VERSION_* in include/ravmolt/ravmolt_c.h to the project version");

// The engine's statuses have the C values' order; each is spelled out so that neither can move
// without this failing to compile.
constexpr ravmolt_status toC(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::success:
      return RAVMOLT_SUCCESS;
    case DecodeStatus::invalidFormat:
      return RAVMOLT_INVALID_FORMAT;
    case DecodeStatus::sourceNotFound:
      return RAVMOLT_SOURCE_NOT_FOUND;
    case DecodeStatus::destinationUnwritable:
      return RAVMOLT_DESTINATION_UNWRITABLE;
    case DecodeStatus::sameFile:
      return RAVMOLT_SAME_FILE;
    case DecodeStatus::writeFailed:
      return RAVMOLT_WRITE_FAILED;
  }
  return RAVMOLT_WRITE_FAILED;
}
static_assert(toC(DecodeStatus::writeFailed) == static_cast<int>(DecodeStatus::writeFailed));

// The C sink and its context, behind the engine's own sink type.
struct CSink {
  ravmolt_sink sink;
  void* context;
};

bool callCSink(void* context, const std::uint8_t* data, std::size_t size) {
  const auto* target = static_cast<const CSink*>(context);
  return target->sink(target->context, data, size) != 0;
}

}  // namespace
}  // namespace ravmolt

// No allocation in the engine throws: memory that cannot be had ends a decode as a failed write
// with the destination marked (outOfMemory()), and a file run then leaves nothing incomplete.

extern "C" ravmolt_status ravmolt_decompress_file(const char* source_path,
                                                  const char* destination_path) {
  using namespace ravmolt;
  if (source_path == nullptr || destination_path == nullptr) return RAVMOLT_INVALID_ARGUMENT;
  RunFiles files;
  DecodeStatus status = files.open(source_path, destination_path);
  if (status != DecodeStatus::success) return toC(status);
  bool outOfMemory = false;
  {
    SourceStream source(files.source(), files.sourceSize());
    DestinationStream destination(files.destination());
    if (source.ready()) {
      status = Decompressor(source, destination, 2).decode();
      outOfMemory = destination.outOfMemory();
    } else {
      status = DecodeStatus::writeFailed;
      outOfMemory = true;
    }
  }
  status = files.close(status);
  return outOfMemory ? RAVMOLT_OUT_OF_MEMORY : toC(status);
}

extern "C" ravmolt_status ravmolt_decompress_buffer(const void* compressed, size_t size,
                                                    ravmolt_sink sink, void* context) {
  using namespace ravmolt;
  if (sink == nullptr || (compressed == nullptr && size > 0)) return RAVMOLT_INVALID_ARGUMENT;
  CSink target{sink, context};
  SourceStream source(std::span(static_cast<const std::uint8_t*>(compressed), size));
  DestinationStream destination(&callCSink, &target);
  const DecodeStatus status = Decompressor(source, destination).decode();
  return destination.outOfMemory() ? RAVMOLT_OUT_OF_MEMORY : toC(status);
}

extern "C" void ravmolt_discard_incomplete_destinations(void) {
  ravmolt::RunFiles::discardAllInProgress();
}

extern "C" const char* ravmolt_status_text(int status) {
  switch (status) {
    case RAVMOLT_SUCCESS:
      return "the file was restored";
    case RAVMOLT_INVALID_FORMAT:
      return "the source is not a valid compressed file";
    case RAVMOLT_SOURCE_NOT_FOUND:
      return "the source file cannot be opened for reading";
    case RAVMOLT_DESTINATION_UNWRITABLE:
      return "the destination file cannot be created or truncated";
    case RAVMOLT_SAME_FILE:
      return "the source and the destination are the same file";
    case RAVMOLT_WRITE_FAILED:
      return "the restored bytes could not all be written";
    case RAVMOLT_OUT_OF_MEMORY:
      return "the decoder ran out of memory";
    case RAVMOLT_INVALID_ARGUMENT:
      return "a required pointer was null";
  }
  return "unknown decode status";
}

extern "C" const char* ravmolt_version(void) { return RAVMOLT_VERSION_STRING; }

extern "C" unsigned ravmolt_version_number(void) { return RAVMOLT_VERSION_NUMBER; }
