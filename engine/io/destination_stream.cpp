#include "engine/io/destination_stream.h"

#include <algorithm>

#include "engine/io/buffer.h"

namespace ravmolt {

DestinationStream::DestinationStream(SinkFunction sink, void* context)
    : sink_(sink), context_(context) {}

void DestinationStream::makeRoom(std::size_t minimum) {
  (void)flush();  // a failure stays in failed_, which the callers test
  if (capacity_ >= minimum || outOfMemory_) return;
  const std::size_t capacity =
      capacity_ == 0 ? std::clamp(minimum, kSmallestBuffer, kBufferSize) : kBufferSize;
  auto buffer = allocateArray<std::uint8_t>(capacity);
  if (!buffer) {  // the restored bytes cannot be produced: a failure like a failed write
    outOfMemory_ = failed_ = true;
    return;
  }
  buffer_ = std::move(buffer);
  capacity_ = capacity;
  begin_ = cursor_ = buffer_.get();
  limit_ = begin_ + capacity_;
}

bool DestinationStream::writeOut(const std::uint8_t* data, std::size_t size) {
  for (std::size_t done = 0; done < size; done += kSinkBlockSize) {
    if (!sink_(context_, data + done, std::min(kSinkBlockSize, size - done))) return false;
  }
  return true;
}

bool DestinationStream::flush() {
  const auto size = static_cast<std::size_t>(cursor_ - begin_);
  if (size > 0 && !failed_ && !writeOut(begin_, size)) failed_ = true;
  handedOn_ += size;
  cursor_ = begin_;
  return !failed_;
}

bool DestinationStream::write(const std::uint8_t* data, std::size_t size) {
  if (flush() && size > 0 && !writeOut(data, size)) failed_ = true;
  handedOn_ += size;
  return !failed_;
}

}  // namespace ravmolt
