// Buffers that come back empty, instead of throwing, when memory cannot be had: the engine
// reports that as a failure of its own (the destination could not be produced) and never lets an
// allocation failure unwind.
//
// They come from malloc, not from operator new: the C++ runtime's nothrow new is the throwing one
// with the exception caught, and when memory is gone from the start the runtime cannot even make
// that exception, and ends the process instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace ravmolt {

struct FreeMemory {
  void operator()(void* memory) const { std::free(memory); }
};

// Owns an array of plain values from allocateArray().
template <typename T>
using Buffer = std::unique_ptr<T[], FreeMemory>;

// `count` elements, not initialised, or null.
template <typename T>
[[nodiscard]] Buffer<T> allocateArray(std::size_t count) {
  static_assert(std::is_trivial_v<T> && alignof(T) <= alignof(std::max_align_t));
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  return Buffer<T>(static_cast<T*>(std::malloc(count == 0 ? 1 : count * sizeof(T))));
}

}  // namespace ravmolt
