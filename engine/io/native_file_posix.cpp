#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "engine/io/native_file.h"

namespace ravmolt {

NativeFile standardOutputFile() { return STDOUT_FILENO; }

std::size_t readFileAt(NativeFile file, std::uint64_t offset, std::uint8_t* out, std::size_t size,
                       bool& failed) {
  const int fd = static_cast<int>(file);
  std::size_t done = 0;
  while (done < size && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    const ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool writeFileFully(NativeFile file, const std::uint8_t* data, std::size_t size) {
  const int fd = static_cast<int>(file);
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace ravmolt
