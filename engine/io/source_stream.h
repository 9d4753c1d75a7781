// Byte source for the decoder: a file read through one reused buffer, or a caller's memory.
// Reads past the end deliver nothing; the decoder checks sizes up front and never invents bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/io/buffer.h"
#include "engine/io/native_file.h"

namespace ravmolt {

class SourceStream {
 public:
  // The read buffer: as large as the file, between these two sizes.
  static constexpr std::size_t kBufferSize = std::size_t{128} << 10;
  static constexpr std::size_t kSmallestBuffer = std::size_t{4} << 10;

  // Reads the open descriptor `fd` (borrowed) with positioned reads; `size` is its length, or 0
  // when it has none (a device, a pipe), which is then read until a read finds the end.
  SourceStream(NativeFile fd, std::uint64_t size);
  // Reads `bytes`, which must outlive the stream; nothing is copied.
  explicit SourceStream(std::span<const std::uint8_t> bytes);

  std::uint64_t size() const { return size_; }
  // False when a descriptor's read buffer could not be had: the stream then reads nothing.
  bool ready() const { return fd_ == kNoFile || buffer_ != nullptr; }
  std::uint64_t position() const {
    return bufferStart_ + static_cast<std::uint64_t>(cursor_ - begin_);
  }
  void seek(std::uint64_t position);

  // Reads one byte; false at the end of the data.
  [[nodiscard]] bool readByte(std::uint8_t& byte) {
    if (cursor_ == end_ && !fill()) return false;
    byte = *cursor_++;
    return true;
  }
  // Reads up to `count` bytes into `out`; returns how many were read.
  std::size_t read(std::uint8_t* out, std::size_t count);

  // The bytes buffered from the current position on. When fewer than `minimum` (no more than
  // the buffer, which holds kBufferSize or the whole file) are, moves them to the front of the
  // buffer and reads on after them, so that a bulk reader near the end of a block sees its last
  // bytes and the next ones contiguously. Fewer than `minimum` bytes come back only at the end of
  // the data. The span stays valid until the next read, seek or refill.
  std::span<const std::uint8_t> bufferedAtLeast(std::size_t minimum);
  // Consumes `count` bytes of those returned by bufferedAtLeast().
  void advance(std::size_t count) { cursor_ += count; }

  // Reads up to `size` bytes at `offset` into `out`, fewer only at the end of the data or after a
  // read error, and returns how many. The stream's position and buffer are not touched, so
  // several threads may call this at once.
  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const;

 private:
  // Loads the next block at position(); false when nothing more can be read.
  [[nodiscard]] bool fill();
  // Reads at `offset` into the buffer after its first `kept` bytes, as far as it goes.
  std::size_t loadAfter(std::uint64_t offset, std::size_t kept);

  NativeFile fd_ = kNoFile;
  std::size_t capacity_ = 0;
  Buffer<std::uint8_t> buffer_;
  std::span<const std::uint8_t> memory_;  // the whole source, when it is memory
  const std::uint8_t* begin_ = nullptr;
  const std::uint8_t* cursor_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::uint64_t bufferStart_ = 0;  // source offset of begin_
  std::uint64_t size_ = 0;
  bool readError_ = false;  // a failed read ends the data for good, as the end of the file does
};

}  // namespace ravmolt
