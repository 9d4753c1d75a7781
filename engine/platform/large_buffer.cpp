#include "engine/platform/large_buffer.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ravmolt {

#if defined(__linux__)

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

bool LargeBuffer::allocate(std::size_t size) {
  // Room to start the block on a huge-page boundary; the pages before it are never touched.
  const std::size_t mapped = size + kHugePage;
  void* mapping =
      ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint only
  release();
  mapping_ = mapping;
  mapped_ = mapped;
  data_ = reinterpret_cast<std::uint8_t*>(aligned);
  return true;
}

void LargeBuffer::release() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
  mapping_ = nullptr;
  data_ = nullptr;
}

#else

bool LargeBuffer::allocate(std::size_t size) {
  auto* block = new (std::nothrow) std::uint8_t[size];
  if (block == nullptr) return false;
  release();
  mapping_ = block;
  data_ = block;
  return true;
}

void LargeBuffer::release() {
  delete[] static_cast<std::uint8_t*>(mapping_);
  mapping_ = nullptr;
  data_ = nullptr;
}

#endif

}  // namespace ravmolt
