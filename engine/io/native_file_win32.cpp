#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "engine/io/native_file.h"

namespace ravmolt {
namespace {

// ReadFile and WriteFile take 32-bit sizes; larger requests go in pieces of this size.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;

HANDLE handleOf(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

NativeFile standardOutputFile() {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return output == nullptr ? kNoFile : reinterpret_cast<NativeFile>(output);
}

// Each read names its offset, so the handle's own position does not matter and threads that read
// one handle at once each get the bytes they asked for.
std::size_t readFileAt(NativeFile file, std::uint64_t offset, std::uint8_t* out, std::size_t size,
                       bool& failed) {
  std::size_t done = 0;
  while (done < size && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    const std::uint64_t at = offset + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(size - done, kLargestCall));
    if (!::ReadFile(handleOf(file), out + done, want, &got, &position)) {
      const DWORD error = ::GetLastError();
      // The end of a file or of a pipe whose writer has gone is no read error.
      if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE) failed = true;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool writeFileFully(NativeFile file, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const auto want = static_cast<DWORD>(std::min(size, kLargestCall));
    if (!::WriteFile(handleOf(file), data, want, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace ravmolt
