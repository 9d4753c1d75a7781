// Byte source for the decoder: a file read through one reused buffer, or a caller's memory.
// Reads past the end deliver nothing; the decoder checks sizes up front and never invents bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace ravmolt {

class SourceStream {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{128} << 10;

  // Reads the open descriptor `fd` (borrowed) with positioned reads; `size` is its length.
  SourceStream(int fd, std::uint64_t size);
  // Reads `bytes`, which must outlive the stream; nothing is copied.
  explicit SourceStream(std::span<const std::uint8_t> bytes);

  std::uint64_t size() const { return size_; }
  // The descriptor read, or -1 for memory.
  int descriptor() const { return fd_; }
  std::uint64_t position() const {
    return bufferStart_ + static_cast<std::uint64_t>(cursor_ - begin_);
  }
  // True once a read has failed with an error rather than meeting the end.
  bool readError() const { return readError_; }

  void seek(std::uint64_t position);

  // Reads one byte; false at the end of the data.
  bool readByte(std::uint8_t& byte) {
    if (cursor_ == end_ && !fill()) return false;
    byte = *cursor_++;
    return true;
  }

  // Reads up to `count` bytes into `out`; returns how many were read.
  std::size_t read(std::uint8_t* out, std::size_t count);

  // The bytes buffered from the current position on, refilling when none are; empty at the end.
  // The span stays valid until the next read, seek or refill.
  std::span<const std::uint8_t> buffered() {
    if (cursor_ == end_) fill();
    return {cursor_, end_};
  }
  // Consumes `count` bytes of those returned by buffered().
  void advance(std::size_t count) { cursor_ += count; }

  // Like buffered(), but when fewer than `minimum` (<= kBufferSize) bytes are buffered, moves
  // them to the front of the buffer and reads on after them, so that a bulk reader near the end
  // of a block sees its last bytes and the next ones contiguously. Fewer than `minimum` bytes
  // come back only at the end of the data.
  std::span<const std::uint8_t> bufferedAtLeast(std::size_t minimum);

 private:
  // Loads the next block at position(); false when nothing more can be read.
  bool fill();

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  const std::uint8_t* begin_ = nullptr;
  const std::uint8_t* cursor_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::uint64_t bufferStart_ = 0;  // file offset of begin_
  std::uint64_t size_ = 0;
  bool readError_ = false;
};

}  // namespace ravmolt
