// ravmolt: restore files made by the companion Huffman compressor, from a program.
//
// This is the whole public interface of the ravmolt::engine library. Include it as
//
//   #include <ravmolt/ravmolt.h>
//
// and link ravmolt::engine (find_package(ravmolt) in CMake). It needs C++20 and declares
// everything in namespace ravmolt. No function throws; each one returns a DecodeStatus that
// says how the decode went, and nothing is printed anywhere.
//
// A compressed file is a 7-byte header, a table of byte counts and a bit stream; docs/format.md
// in the source tree describes it byte by byte. Every check on the file's contents is made before
// the first restored byte is handed on, so an invalid file never produces partial output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "ravmolt/decode_status.h"

namespace ravmolt {

// Receives one block of restored bytes, in order; `context` is the pointer given to
// decompressBuffer. Returns true when it took the whole block, false to stop the decode: the
// decode then reports writeFailed and the sink is not called again. Blocks are at most 256 KiB
// and the pointer is valid only during the call.
using SinkFunction = bool (*)(void* context, const std::uint8_t* data, std::size_t size);

// Restores the compressed file at `sourcePath` into `destinationPath`, which is created, or
// truncated and overwritten when it exists. Returns:
//   success                the destination holds the restored bytes;
//   sourceNotFound         the source cannot be opened for reading, or is a directory; the
//                          destination was not touched;
//   destinationUnwritable  the destination cannot be created or truncated;
//   sameFile               both paths name one file (same device and inode, so hard and symbolic
//                          links count); nothing was opened for writing and the file is intact;
//   invalidFormat          the source is not a valid compressed file; the destination is empty;
//   writeFailed            writing, flushing or closing the destination failed (for example a
//                          full disk); an incomplete regular destination file is removed.
// The source is never written. Paths are ordinary null-terminated file system paths.
// A large file is decoded on two threads when the process may run on two processors: the call
// starts one thread of its own and has ended it before it returns. That thread runs only on the
// processors the calling thread may use, other than the one the call started on. Calls on
// different files may run at the same time.
DecodeStatus decompressFile(const char* sourcePath, const char* destinationPath);

// Restores the compressed bytes `compressed` and hands the result to `sink` (not null) in blocks,
// in order.
// `compressed` is read in place and must stay valid during the call; nothing is copied.
// Returns success (every restored byte was taken by the sink), invalidFormat (the bytes are not a
// valid compressed file; the sink was never called) or writeFailed (the sink returned false).
// A file that announces no bits restores to nothing: success with the sink never called.
// The decode runs on the calling thread only, which is the one that calls the sink.
DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, SinkFunction sink,
                              void* context);

// Any callable `sink(const std::uint8_t* data, std::size_t size) -> bool`, a lambda for instance.
template <typename Sink>
concept ByteSink = std::is_invocable_r_v<bool, Sink&, const std::uint8_t*, std::size_t>;

// The same, with a ByteSink, which may be a temporary; it is used only during the call.
template <ByteSink Sink>
DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, Sink&& sink) {
  using Callable = std::remove_reference_t<Sink>;  // may be const
  return decompressBuffer(
      compressed,
      [](void* context, const std::uint8_t* data, std::size_t size) -> bool {
        return (*static_cast<Callable*>(context))(data, size);
      },
      const_cast<void*>(static_cast<const void*>(std::addressof(sink))));
}

// A short English sentence describing `status`, for a program's own messages or logs, such as
// "the source is not a valid compressed file". Never null; the text has static storage.
const char* describeStatus(DecodeStatus status);

}  // namespace ravmolt
