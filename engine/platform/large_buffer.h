// Platform: one block of memory of several MiB, for buffers that a run fills again and again.
// Fresh memory is slow to touch a page at a time; on Linux the block is laid on 2 MiB boundaries
// and offered to the kernel for huge pages, so that filling it costs a few faults instead of one
// for every 4 KiB. Elsewhere, or where the kernel says no, it is ordinary memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ravmolt {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { release(); }

  // Makes the block `size` bytes; false, with no block, when no memory could be had.
  bool allocate(std::size_t size);
  std::uint8_t* data() const { return data_; }

 private:
  void release();

  void* mapping_ = nullptr;  // what the system gave, which data_ lies in
  std::size_t mapped_ = 0;
  std::uint8_t* data_ = nullptr;
};

}  // namespace ravmolt
