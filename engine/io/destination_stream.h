// Buffered byte sink for the decoder, handing blocks to a function: a caller's, or the one that
// writes a run's destination file (RunFiles::writeDestination). Failures are
// sticky and never silent: once a hand-off fails, later bytes are dropped and failed() says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/io/buffer.h"

namespace ravmolt {

// Receives one block of restored bytes; returns false to report that it could not take them.
using SinkFunction = bool (*)(void* context, const std::uint8_t* data, std::size_t size);

class DestinationStream {
 public:
  // Room for the output of whole blocks of lanes even at one symbol per bit. The buffer is made
  // on first use, no larger than that use needs (but at least kSmallestBuffer), and grows to
  // kBufferSize only when a later use needs more: small outputs touch little fresh memory.
  static constexpr std::size_t kBufferSize = std::size_t{512} << 10;
  static constexpr std::size_t kSmallestBuffer = std::size_t{64} << 10;
  // The largest block a sink is handed at once.
  static constexpr std::size_t kSinkBlockSize = std::size_t{256} << 10;

  // Hands blocks to `sink` with `context`.
  DestinationStream(SinkFunction sink, void* context);

  void put(std::uint8_t byte) {
    if (cursor_ == limit_) {
      makeRoom(1);
      if (cursor_ == limit_) return;  // no buffer could be had: failed()
    }
    *cursor_++ = byte;
  }

  // The free part of the buffer, at least `minimum` (<= kBufferSize) bytes: when less is free,
  // the buffered bytes are handed on first. The caller fills some of it and reports them with
  // commit().
  std::span<std::uint8_t> freeSpace(std::size_t minimum) {
    if (static_cast<std::size_t>(limit_ - cursor_) < minimum) makeRoom(minimum);
    return {cursor_, limit_};
  }
  void commit(std::uint8_t* newCursor) { cursor_ = newCursor; }

  // Hands all buffered bytes on and empties the buffer. False once any hand-off has failed; after
  // that, bytes are dropped so that decoding can still reach its end cheaply.
  [[nodiscard]] bool flush();
  // Hands `size` bytes on straight from `data`, after any buffered ones; false as flush() is.
  [[nodiscard]] bool write(const std::uint8_t* data, std::size_t size);
  bool failed() const { return failed_; }
  // The failure was that memory could not be had, for this stream's buffer or, as a decoder
  // reports with failForMemory(), for its own: the restored bytes cannot be produced.
  bool outOfMemory() const { return outOfMemory_; }
  void failForMemory() { outOfMemory_ = failed_ = true; }
  // Bytes handed on or buffered so far, dropped ones included.
  std::uint64_t total() const { return handedOn_ + static_cast<std::uint64_t>(cursor_ - begin_); }

 private:
  // Hands the buffered bytes on and makes the buffer hold at least `minimum` bytes.
  void makeRoom(std::size_t minimum);
  [[nodiscard]] bool writeOut(const std::uint8_t* data, std::size_t size);

  SinkFunction sink_ = nullptr;
  void* context_ = nullptr;
  Buffer<std::uint8_t> buffer_;
  std::size_t capacity_ = 0;
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* cursor_ = nullptr;
  std::uint8_t* limit_ = nullptr;
  std::uint64_t handedOn_ = 0;
  bool failed_ = false;
  bool outOfMemory_ = false;
};

}  // namespace ravmolt
