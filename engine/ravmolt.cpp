// The C interface of the library, the only functions that libravmolt.so exports: the decoder
// between two files, or from memory to a caller's sink, its status texts and its version.
// Nothing but plain values crosses it: C++ types and exceptions stay on this side.
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/decompressor.h"
#include "engine/drivers/incremental_decoder.h"
#include "engine/drivers/unseekable_source.h"
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
  bool cutShort = false;
  {
    DestinationStream destination(&RunFiles::writeDestination, &files);
    if (files.sourceSize() == 0) {
      // No size to trust: a pipe, a device, or an empty file, read as they come.
      const UnseekableOutcome outcome = decodeUnseekable(files.source(), destination);
      status = outcome.status;
      cutShort = outcome.cutShort;
      outOfMemory = destination.outOfMemory();
    } else {
      SourceStream source(files.source(), files.sourceSize());
      if (source.ready()) {
        status = Decompressor(source, destination, 2).decode();
        outOfMemory = destination.outOfMemory();
      } else {
        status = DecodeStatus::writeFailed;
        outOfMemory = true;
      }
    }
  }
  // A stream cut short after output leaves no destination, as a failed write does, but is
  // reported as the invalid file it is.
  if (cutShort) {
    (void)files.close(DecodeStatus::writeFailed);
    return RAVMOLT_INVALID_FORMAT;
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

// The decoder object of the streaming calls. Its memory comes from malloc, as the engine's
// buffers do, so that a failed allocation is a null result rather than an exception; the object
// is placed at the alignment its byte translation's vector loads need, which malloc does not
// promise.
struct ravmolt_decoder {
  ravmolt::IncrementalDecoder engine;
  void* memory;  // as malloc gave it
};

extern "C" ravmolt_decoder* ravmolt_decoder_create(void) {
  std::size_t size = sizeof(ravmolt_decoder) + alignof(ravmolt_decoder);
  void* const memory = std::malloc(size);
  void* place = memory;
  if (memory == nullptr ||
      std::align(alignof(ravmolt_decoder), sizeof(ravmolt_decoder), place, size) == nullptr) {
    std::free(memory);
    return nullptr;
  }
  auto* decoder = new (place) ravmolt_decoder{{}, memory};
  if (!decoder->engine.ready()) {
    ravmolt_decoder_free(decoder);
    return nullptr;
  }
  return decoder;
}

extern "C" void ravmolt_decoder_free(ravmolt_decoder* decoder) {
  if (decoder == nullptr) return;
  void* const memory = decoder->memory;
  decoder->~ravmolt_decoder();
  std::free(memory);
}

extern "C" void ravmolt_decoder_reset(ravmolt_decoder* decoder) {
  if (decoder != nullptr) decoder->engine.reset();
}

extern "C" ravmolt_status ravmolt_stream_decode(ravmolt_decoder* decoder, ravmolt_input* input,
                                                ravmolt_output* output, int input_ended) {
  if (decoder == nullptr || input == nullptr || output == nullptr || input->used > input->size ||
      output->made > output->room || (input->data == nullptr && input->size > input->used) ||
      (output->data == nullptr && output->room > output->made)) {
    return RAVMOLT_INVALID_ARGUMENT;
  }
  ravmolt::StreamInput in{static_cast<const std::uint8_t*>(input->data), input->size, input->used};
  ravmolt::StreamOutput out{static_cast<std::uint8_t*>(output->data), output->room, output->made};
  const ravmolt_status status = decoder->engine.decode(in, out, input_ended != 0);
  input->used = in.used;
  output->made = out.made;
  return status;
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
