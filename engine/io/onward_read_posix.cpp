#include <unistd.h>

#include <cerrno>

#include "engine/io/onward_read.h"

namespace ravmolt {

std::size_t readFileOnward(NativeFile file, std::uint8_t* out, std::size_t size, bool& failed) {
  const int fd = static_cast<int>(file);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace ravmolt
