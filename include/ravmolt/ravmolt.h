// ravmolt: restore files made by the companion Huffman compressor, from a C++ program.
//
// A header-only layer over the C interface of <ravmolt/ravmolt_c.h>, with spans, callables and
// the DecodeStatus enumeration. Include it as
//
//   #include <ravmolt/ravmolt.h>
//
// and link ravmolt::ravmolt (the shared library) or ravmolt::ravmolt_static in CMake, or use
// `pkg-config --cflags --libs ravmolt`. It needs C++20 and declares everything in namespace
// ravmolt. Nothing is printed anywhere and nothing of the library's own throws: each call returns
// a DecodeStatus that says how the decode went. An exception thrown by a sink of the caller's
// stops the decode and leaves the call as it came.
//
// A compressed file is a 7-byte header, a table of byte counts and a bit stream; docs/format.md
// in the source tree describes it byte by byte. Every check on the file's contents is made before
// the first restored byte is handed on, so an invalid file never produces partial output.
#pragma once

// Below C++20 the header declares nothing and gives one message, not a page of errors from
// std::span and concepts that the compiler does not have. MSVC reports the language in _MSVC_LANG.
#if (defined(__cplusplus) && __cplusplus >= 202002L) || \
    (defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <type_traits>

#include "ravmolt/decode_status.h"
#include "ravmolt/ravmolt_c.h"

namespace ravmolt {

// Receives one block of restored bytes, in order; `context` is the pointer given to
// decompressBuffer. Returns true when it took the whole block, false to stop the decode: the
// decode then reports writeFailed and the sink is not called again. Blocks are at most 256 KiB
// and the pointer is valid only during the call.
using SinkFunction = bool (*)(void* context, const std::uint8_t* data, std::size_t size);

namespace detail {

// The C values have the same numbers as the DecodeStatus values, but for two: a decoder that
// could not get its memory produced no destination, which callers already handle as a failed
// write; a null argument is a caller's slip that the typed calls below mostly rule out, and is
// reported as the failure it leads to (`fallback`).
inline DecodeStatus fromC(ravmolt_status status, DecodeStatus fallback) {
  if (status == RAVMOLT_OUT_OF_MEMORY) return DecodeStatus::writeFailed;
  if (status == RAVMOLT_INVALID_ARGUMENT) return fallback;
  return static_cast<DecodeStatus>(status);
}

// Carries a C++ sink through the C call. An exception from the sink must not unwind through the
// library's C frames: it is kept here, the decode is told to stop, and it is thrown again once
// the C call has returned.
template <typename Call>
struct SinkBridge {
  Call& call;
  std::exception_ptr thrown{};

  static int invoke(void* self, const unsigned char* data, std::size_t size) {
    auto* bridge = static_cast<SinkBridge*>(self);
    try {
      return bridge->call(static_cast<const std::uint8_t*>(data), size) ? 1 : 0;
    } catch (...) {
      bridge->thrown = std::current_exception();
      return 0;
    }
  }

  DecodeStatus run(std::span<const std::uint8_t> compressed) {
    const ravmolt_status status =
        ravmolt_decompress_buffer(compressed.data(), compressed.size(), &invoke, this);
    if (thrown) std::rethrow_exception(thrown);
    return fromC(status, DecodeStatus::writeFailed);
  }
};

}  // namespace detail

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
//                          full disk), or the decoder could not get its memory; an incomplete
//                          regular destination file is removed.
// The source is never written. Paths are ordinary null-terminated file system paths; a null one
// cannot be opened (sourceNotFound, or destinationUnwritable for the destination).
// A large file is decoded on two threads when the process may run on two processors: the call
// starts one thread of its own and has ended it before it returns. That thread runs only on the
// processors the calling thread may use, other than the one the call started on. Calls on
// different files may run at the same time.
inline DecodeStatus decompressFile(const char* sourcePath, const char* destinationPath) {
  return detail::fromC(
      ravmolt_decompress_file(sourcePath, destinationPath),
      sourcePath == nullptr ? DecodeStatus::sourceNotFound : DecodeStatus::destinationUnwritable);
}

// Any callable `sink(const std::uint8_t* data, std::size_t size) -> bool`, a lambda for instance.
template <typename Sink>
concept ByteSink = std::is_invocable_r_v<bool, Sink&, const std::uint8_t*, std::size_t>;

// Restores the compressed bytes `compressed` and hands the result to `sink` in blocks, in order;
// the sink may be a temporary, and is used only during the call.
// `compressed` is read in place and must stay valid during the call; nothing is copied.
// Returns success (every restored byte was taken by the sink), invalidFormat (the bytes are not a
// valid compressed file; the sink was never called) or writeFailed (the sink returned false, or
// the decoder could not get its memory).
// A file that announces no bits restores to nothing: success with the sink never called.
// The decode runs on the calling thread only, which is the one that calls the sink.
template <ByteSink Sink>
DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, Sink&& sink) {
  return detail::SinkBridge<std::remove_reference_t<Sink>>{sink}.run(compressed);
}

// The same with a plain function and its context, for sinks that are not callables. A null
// function takes nothing: writeFailed, unless there is nothing to take.
inline DecodeStatus decompressBuffer(std::span<const std::uint8_t> compressed, SinkFunction sink,
                                     void* context) {
  if (sink == nullptr) {
    return decompressBuffer(compressed, [](const std::uint8_t*, std::size_t) { return false; });
  }
  return decompressBuffer(compressed, [sink, context](const std::uint8_t* data, std::size_t size) {
    return sink(context, data, size);
  });
}

// For a program's own handler of a signal that ends the process (SIGINT, SIGTERM and the like):
// empties and removes the destination of every decompressFile call in progress, so that no name
// keeps partial output. Async-signal-safe; see ravmolt_discard_incomplete_destinations.
inline void discardIncompleteDestinations() { ravmolt_discard_incomplete_destinations(); }

// A short English sentence describing `status`, for a program's own messages or logs, such as
// "the source is not a valid compressed file". Never null; the text has static storage.
inline const char* describeStatus(DecodeStatus status) {
  return ravmolt_status_text(static_cast<int>(status));
}

}  // namespace ravmolt

#else
#error "<ravmolt/ravmolt.h> needs C++20 (-std=c++20); C programs include <ravmolt/ravmolt_c.h>"
#endif
