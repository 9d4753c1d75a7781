// A file the system opened, and the two calls the streams make on it. The handle is one integer on
// every system: a descriptor on POSIX, a HANDLE on Windows; the calls are in the platform's own
// file (native_file_posix.cpp or native_file_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ravmolt {

using NativeFile = std::intptr_t;
inline constexpr NativeFile kNoFile = -1;  // also the value of Windows' INVALID_HANDLE_VALUE

// The file standard output writes to.
NativeFile standardOutputFile();

// Reads from `file` at `offset` until `size` bytes are in, the file ends or a read fails, which
// sets `failed`. Returns the bytes read. Several threads may read one file at once.
std::size_t readFileAt(NativeFile file, std::uint64_t offset, std::uint8_t* out, std::size_t size,
                       bool& failed);

// Writes all `size` bytes at the file's position; false when any of them could not be written.
bool writeFileFully(NativeFile file, const std::uint8_t* data, std::size_t size);

}  // namespace ravmolt
