#include "engine/drivers/unseekable_source.h"

#include <span>

#include "engine/decompressor.h"
#include "engine/drivers/incremental_decoder.h"
#include "engine/io/buffer.h"
#include "engine/io/onward_read.h"
#include "engine/io/source_stream.h"

namespace ravmolt {
namespace {

// A longer source is read on in pieces of this size, into the same memory.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;
// Output room asked of the destination's buffer for each call.
constexpr std::size_t kRoom = std::size_t{256} << 10;
static_assert(kRoom <= DestinationStream::kBufferSize);

UnseekableOutcome outOfMemory(DestinationStream& destination) {
  destination.failForMemory();
  return {DecodeStatus::writeFailed};
}

// Decodes a source longer than kWholeInMemory, of which the first `got` bytes are in `memory`.
UnseekableOutcome decodeAsItComes(NativeFile source, Buffer<std::uint8_t>& memory, std::size_t got,
                                  DestinationStream& destination) {
  IncrementalDecoder decoder;
  if (!decoder.ready()) return outOfMemory(destination);
  StreamInput input{memory.get(), got, 0};
  bool ended = false;
  for (;;) {
    const std::span<std::uint8_t> room = destination.freeSpace(kRoom);
    if (destination.failed()) return {DecodeStatus::writeFailed};
    StreamOutput output{room.data(), room.size(), 0};
    const ravmolt_status status = decoder.decode(input, output, ended);
    destination.commit(room.data() + output.made);
    switch (status) {
      case RAVMOLT_SUCCESS:  // what follows the file in the stream is not read
        return {destination.flush() ? DecodeStatus::success : DecodeStatus::writeFailed};
      case RAVMOLT_OUTPUT_PENDING:
        break;
      case RAVMOLT_NEEDS_INPUT: {
        // A read error ends the stream, as the end of a file does.
        bool failed = false;
        input = {memory.get(), readFileOnward(source, memory.get(), kPieceSize, failed), 0};
        ended = input.size < kPieceSize;
        break;
      }
      case RAVMOLT_OUT_OF_MEMORY:
        return outOfMemory(destination);
      case RAVMOLT_TRUNCATED:
        (void)destination.flush();
        return {DecodeStatus::invalidFormat, true};
      default:  // found before any output
        return {DecodeStatus::invalidFormat};
    }
  }
}

}  // namespace

UnseekableOutcome decodeUnseekable(NativeFile source, DestinationStream& destination) {
  // One byte more than a short source can hold tells a longer one.
  Buffer<std::uint8_t> memory = allocateArray<std::uint8_t>(kWholeInMemory + 1);
  if (!memory) return outOfMemory(destination);
  bool failed = false;
  const std::size_t got = readFileOnward(source, memory.get(), kWholeInMemory + 1, failed);
  if (got > kWholeInMemory) return decodeAsItComes(source, memory, got, destination);
  SourceStream whole(std::span<const std::uint8_t>(memory.get(), got));
  return {Decompressor(whole, destination, 2).decode()};
}

}  // namespace ravmolt
