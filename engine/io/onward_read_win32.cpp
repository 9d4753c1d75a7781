#include <windows.h>

#include <algorithm>

#include "engine/io/onward_read.h"

namespace ravmolt {

std::size_t readFileOnward(NativeFile file, std::uint8_t* out, std::size_t size, bool& failed) {
  constexpr std::size_t kLargestCall = std::size_t{1} << 30;  // ReadFile takes a 32-bit size
  std::size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(size - done, kLargestCall));
    if (!::ReadFile(reinterpret_cast<HANDLE>(file), out + done, want, &got, nullptr)) {
      // A pipe whose writer has gone has ended; that is no read error.
      if (::GetLastError() != ERROR_BROKEN_PIPE) failed = true;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace ravmolt
