#include "engine/io/source_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/io/buffer.h"

namespace ravmolt {
SourceStream::SourceStream(NativeFile fd, std::uint64_t size)
    : fd_(fd),
      capacity_(
          static_cast<std::size_t>(std::clamp<std::uint64_t>(size, kSmallestBuffer, kBufferSize))),
      buffer_(allocateArray<std::uint8_t>(capacity_)),
      size_(size) {
  begin_ = cursor_ = end_ = buffer_.get();
}

SourceStream::SourceStream(std::span<const std::uint8_t> bytes)
    : memory_(bytes),
      begin_(bytes.data()),
      cursor_(bytes.data()),
      end_(bytes.data() + bytes.size()),
      size_(bytes.size()) {}

void SourceStream::seek(std::uint64_t position) {
  const std::uint64_t buffered = static_cast<std::uint64_t>(end_ - begin_);
  if (position >= bufferStart_ && position - bufferStart_ <= buffered) {
    cursor_ = begin_ + (position - bufferStart_);
    return;
  }
  if (fd_ == kNoFile) {  // memory: everything is buffered, so this lies past the end
    cursor_ = end_;
    return;
  }
  bufferStart_ = position;
  begin_ = cursor_ = end_ = buffer_.get();
}

std::size_t SourceStream::loadAfter(std::uint64_t offset, std::size_t kept) {
  if (readError_) return kept;
  std::size_t room = capacity_ - kept;
  // A file's length is known: reading to it, rather than on to a read that finds the end, saves
  // a call for every small file. A file that has grown meanwhile is read no further.
  if (size_ > 0)
    room = static_cast<std::size_t>(
        std::min<std::uint64_t>(room, size_ > offset ? size_ - offset : 0));
  return kept + readFileAt(fd_, offset, buffer_.get() + kept, room, readError_);
}

bool SourceStream::fill() {
  if (fd_ == kNoFile || !buffer_) return false;
  const std::uint64_t next = position();
  const std::size_t got = loadAfter(next, 0);
  if (got == 0) return false;
  bufferStart_ = next;
  begin_ = cursor_ = buffer_.get();
  end_ = begin_ + got;
  return true;
}

std::span<const std::uint8_t> SourceStream::bufferedAtLeast(std::size_t minimum) {
  const auto kept = static_cast<std::size_t>(end_ - cursor_);
  if (kept >= minimum || fd_ == kNoFile || !buffer_) return {cursor_, end_};
  const std::uint64_t start = position();
  std::memmove(buffer_.get(), cursor_, kept);
  bufferStart_ = start;
  begin_ = cursor_ = buffer_.get();
  end_ = begin_ + loadAfter(start + kept, kept);
  return {cursor_, end_};
}

std::size_t SourceStream::read(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    if (cursor_ == end_ && !fill()) break;
    const std::size_t step = std::min(count - done, static_cast<std::size_t>(end_ - cursor_));
    std::memcpy(out + done, cursor_, step);
    cursor_ += step;
    done += step;
  }
  return done;
}

std::size_t SourceStream::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
  if (fd_ == kNoFile) {
    if (offset >= memory_.size()) return 0;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, memory_.size() - offset));
    std::memcpy(out, memory_.data() + offset, count);
    return count;
  }
  bool failed = false;
  return readFileAt(fd_, offset, out, size, failed);
}

}  // namespace ravmolt
