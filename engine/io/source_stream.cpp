#include "engine/io/source_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ravmolt {

SourceStream::SourceStream(int fd, std::uint64_t size)
    : fd_(fd), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize)), size_(size) {
  begin_ = cursor_ = end_ = buffer_.get();
}

SourceStream::SourceStream(std::span<const std::uint8_t> bytes)
    : begin_(bytes.data()),
      cursor_(bytes.data()),
      end_(bytes.data() + bytes.size()),
      size_(bytes.size()) {}

void SourceStream::seek(std::uint64_t position) {
  const std::uint64_t buffered = static_cast<std::uint64_t>(end_ - begin_);
  if (position >= bufferStart_ && position - bufferStart_ <= buffered) {
    cursor_ = begin_ + (position - bufferStart_);
    return;
  }
  if (fd_ < 0) {  // memory: everything is buffered, so this lies past the end
    cursor_ = end_;
    return;
  }
  bufferStart_ = position;
  begin_ = cursor_ = end_ = buffer_.get();
}

bool SourceStream::fill() {
  if (fd_ < 0 || readError_) return false;
  const std::uint64_t next = position();
  if (next > static_cast<std::uint64_t>(INT64_MAX)) return false;
  ssize_t got;
  do {
    got = ::pread(fd_, buffer_.get(), kBufferSize, static_cast<off_t>(next));
  } while (got < 0 && errno == EINTR);
  if (got < 0) readError_ = true;
  if (got <= 0) return false;
  bufferStart_ = next;
  begin_ = cursor_ = buffer_.get();
  end_ = begin_ + got;
  return true;
}

std::span<const std::uint8_t> SourceStream::bufferedAtLeast(std::size_t minimum) {
  auto kept = static_cast<std::size_t>(end_ - cursor_);
  if (kept >= minimum || fd_ < 0 || readError_) return {cursor_, end_};
  const std::uint64_t start = position();
  std::memmove(buffer_.get(), cursor_, kept);
  bufferStart_ = start;
  begin_ = cursor_ = buffer_.get();
  end_ = begin_ + kept;
  while (kept < kBufferSize && start + kept <= static_cast<std::uint64_t>(INT64_MAX)) {
    const ssize_t got =
        ::pread(fd_, buffer_.get() + kept, kBufferSize - kept, static_cast<off_t>(start + kept));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readError_ = true;
    if (got <= 0) break;
    kept += static_cast<std::size_t>(got);
  }
  end_ = begin_ + kept;
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

}  // namespace ravmolt
