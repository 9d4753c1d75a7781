// The C interface of the library, the only functions that libravmolt.so exports: the decoder
// between two files, or from memory to a caller's sink, its status texts and its version.
// Nothing but plain values crosses it: C++ types and exceptions stay on this side.
#include "engine/decompressor.h"
#include "engine/io/destination_stream.h"
#include "engine/io/run_files.h"
#include "engine/io/source_stream.h"
#include "ravmolt/ravmolt_c.h"

namespace ravmolt {
namespace {

// The header promises sinks blocks of at most 256 KiB.
static_assert(DestinationStream::kSinkBlockSize <= std::size_t{256} << 10);
// The engine's statuses have the values of the C ones.
constexpr ravmolt_status toC(DecodeStatus status) { return static_cast<ravmolt_status>(status); }

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
  if (status != DecodeStatus::success) {
    return files.outOfMemory() ? RAVMOLT_OUT_OF_MEMORY : toC(status);
  }
  bool outOfMemory = false;
  {
    SourceStream source(files.source(), files.sourceSize());
    DestinationStream destination(&RunFiles::writeDestination, &files);
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
#define RAVMOLT_STATUS_TEXT(name, value, text, python) \
  case RAVMOLT_##name:                                 \
    return text;
    RAVMOLT_STATUS_LIST(RAVMOLT_STATUS_TEXT)
#undef RAVMOLT_STATUS_TEXT
  }
  return "unknown decode status";
}

extern "C" const char* ravmolt_version(void) { return RAVMOLT_VERSION_STRING; }

extern "C" unsigned ravmolt_version_number(void) { return RAVMOLT_VERSION_NUMBER; }
