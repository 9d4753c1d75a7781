// Reading a source that cannot seek (a pipe, a terminal, a device) from where it stands: the
// positioned reads of native_file.h fail on those. The call is the platform's own
// (onward_read_posix.cpp or onward_read_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/io/native_file.h"

namespace ravmolt {

// Reads from `file` at its position until `size` bytes are in, it ends or a read fails, which
// sets `failed`. Returns the bytes read.
std::size_t readFileOnward(NativeFile file, std::uint8_t* out, std::size_t size, bool& failed);

}  // namespace ravmolt
