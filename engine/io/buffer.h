// Buffers that come back empty, instead of throwing, when memory cannot be had: the engine
// reports that as a failure of its own (the destination could not be produced) and never lets an
// allocation failure unwind.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace ravmolt {

// `count` elements, not initialised, or null.
template <typename T>
[[nodiscard]] std::unique_ptr<T[]> allocateArray(std::size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

}  // namespace ravmolt
