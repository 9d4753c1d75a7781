#include <windows.h>

#include <cwchar>
#include <new>

#include "engine/platform/wide_path.h"

namespace ravmolt {
namespace {

template <typename T>
std::unique_ptr<T[]> allocate(std::size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

bool startsWith(const wchar_t* text, const wchar_t* start) {
  return std::wcsncmp(text, start, std::wcslen(start)) == 0;
}

}  // namespace

std::unique_ptr<char[]> narrowText(const wchar_t* wide) {
  const int size =
      ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  auto utf8 = allocate<char>(static_cast<std::size_t>(size));
  if (utf8 && ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8.get(), size,
                                    nullptr, nullptr) != size) {
    return nullptr;
  }
  return utf8;
}

wchar_t* WidePath::Room::take(std::size_t count) {
  if (count <= kInline) return inline_;
  heap = allocate<wchar_t>(count);
  return heap.get();
}

WidePath::WidePath(const char* utf8) {
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (size <= 1) return;  // invalid, or the empty name
  wchar_t* const text = text_.take(static_cast<std::size_t>(size));
  if (text == nullptr ||
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text, size) != size) {
    return;
  }
  const DWORD needed = ::GetFullPathNameW(text, 0, nullptr, nullptr);
  wchar_t* const full = needed == 0 ? nullptr : full_.take(needed);
  if (full == nullptr) return;
  const DWORD length = ::GetFullPathNameW(text, needed, full, nullptr);
  if (length == 0 || length >= needed) return;
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = full;
  if (startsWith(rest, L"\\\\?\\") || startsWith(rest, L"\\\\.\\")) {
    path_ = full;
    return;
  }
  if (startsWith(rest, L"\\\\")) {  // \\server\share\x is \\?\UNC\server\share\x
    prefix = L"\\\\?\\UNC\\";
    rest += 2;
  }
  const std::size_t prefixLength = std::wcslen(prefix);
  const std::size_t restLength = length - static_cast<std::size_t>(rest - full);
  wchar_t* const path = prefixed_.take(prefixLength + restLength + 1);
  if (path == nullptr) return;
  std::wmemcpy(path, prefix, prefixLength);
  std::wmemcpy(path + prefixLength, rest, restLength + 1);
  path_ = path;
}

}  // namespace ravmolt
