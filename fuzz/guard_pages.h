// Memory laid right against inaccessible pages, for the fuzz targets and the guard-page test: a
// decoder that reads or writes one byte past the end of what it was given faults at once, with
// or without a sanitizer. Plain POSIX mmap and mprotect, so that it works in every build and
// under qemu-user, whatever the page size; VirtualAlloc and VirtualProtect on Windows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAVMOLT_GUARD_POISONS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define RAVMOLT_GUARD_POISONS 1
#endif
#if defined(RAVMOLT_GUARD_POISONS)
#include <sanitizer/asan_interface.h>
#endif

namespace ravmolt::checks {

// Up to `capacity` bytes between two PROT_NONE pages. Bytes handed out end right before the
// trailing page or start right after the leading one; under AddressSanitizer the rest of the
// pages between is poisoned too (to its 8-byte granules), so that a stray access on the other
// side of them is caught as well.
class GuardedRegion {
 public:
  explicit GuardedRegion(std::size_t capacity)
      : page_(pageSize()),
        usable_(std::max<std::size_t>((capacity + page_ - 1) / page_, 1) * page_) {
#if defined(_WIN32)
    void* const map =
        ::VirtualAlloc(nullptr, usable_ + 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    if (map == nullptr) return;
    base_ = static_cast<std::uint8_t*>(map);
    DWORD previous = 0;
    if (!::VirtualProtect(base_ + page_, usable_, PAGE_READWRITE, &previous)) unmap();
#else
    void* const map =
        ::mmap(nullptr, usable_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    base_ = static_cast<std::uint8_t*>(map);
    if (::mprotect(base_ + page_, usable_, PROT_READ | PROT_WRITE) != 0) unmap();
#endif
  }
  GuardedRegion(const GuardedRegion&) = delete;
  GuardedRegion& operator=(const GuardedRegion&) = delete;
  ~GuardedRegion() {
    if (base_ == nullptr) return;
    expose(0, usable_);
    unmap();
  }

  // False when the pages could not be mapped; nothing else may then be called.
  bool valid() const { return base_ != nullptr; }
  std::size_t capacity() const { return usable_; }

  // `size` (<= capacity()) bytes whose last one is right before the trailing guard page.
  std::span<std::uint8_t> endingAtGuard(std::size_t size) { return place(usable_ - size, size); }
  // `size` (<= capacity()) bytes whose first one is right after the leading guard page.
  std::span<std::uint8_t> startingAtGuard(std::size_t size) { return place(0, size); }
  // `bytes` copied to end right before the trailing guard page.
  std::span<const std::uint8_t> copyEndingAtGuard(std::span<const std::uint8_t> bytes) {
    const std::span<std::uint8_t> to = endingAtGuard(bytes.size());
    if (!bytes.empty()) std::memcpy(to.data(), bytes.data(), bytes.size());
    return to;
  }

 private:
  static std::size_t pageSize() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
#endif
  }
  void unmap() {
#if defined(_WIN32)
    ::VirtualFree(base_, 0, MEM_RELEASE);
#else
    ::munmap(base_, usable_ + 2 * page_);
#endif
    base_ = nullptr;
  }
  std::span<std::uint8_t> place(std::size_t at, std::size_t size) {
    std::uint8_t* const usable = base_ + page_;
#if defined(RAVMOLT_GUARD_POISONS)
    ASAN_POISON_MEMORY_REGION(usable, usable_);
#endif
    expose(at, size);
    return {usable + at, size};
  }
  void expose([[maybe_unused]] std::size_t at, [[maybe_unused]] std::size_t size) {
#if defined(RAVMOLT_GUARD_POISONS)
    ASAN_UNPOISON_MEMORY_REGION(base_ + page_ + at, size);
#endif
  }

  std::size_t page_;
  std::size_t usable_;  // whole pages between the two guards
  std::uint8_t* base_ = nullptr;
};

}  // namespace ravmolt::checks
