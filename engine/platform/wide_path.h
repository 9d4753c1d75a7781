// Platform, Windows only: UTF-8 text and paths as the system's UTF-16 calls take them.
#pragma once

#include <cstddef>
#include <memory>

namespace ravmolt {

// `utf8` made a full path with the \\?\ prefix, so that neither the old limit of 260 characters
// nor a relative or UNC form stops it; device names (\\.\NUL) stay as they are. Paths of usual
// lengths are built in the object itself, so that opening a file needs no memory from the heap;
// only longer ones take some.
class WidePath {
 public:
  explicit WidePath(const char* utf8);
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;

  // Null when the text is not valid UTF-8, names no path (the empty one) or a long one found no
  // memory.
  const wchar_t* get() const { return path_; }
  explicit operator bool() const { return path_ != nullptr; }

 private:
  // Room for `count` characters in `inline` or, beyond its kInline, on the heap in `heap`.
  static constexpr std::size_t kInline = 300;
  struct Room {
    wchar_t inline_[kInline];
    std::unique_ptr<wchar_t[]> heap;
    wchar_t* take(std::size_t count);
  };

  Room text_;
  Room full_;
  Room prefixed_;
  const wchar_t* path_ = nullptr;
};

// `wide` (UTF-16, null-terminated) in UTF-8, or null when it is not valid UTF-16 (an unpaired
// surrogate) or memory cannot be had.
std::unique_ptr<char[]> narrowText(const wchar_t* wide);

}  // namespace ravmolt
