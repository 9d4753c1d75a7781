// Platform: byte translation with vector byte permutes, where the processor has them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ravmolt {

// Translates a leading part of in[0..count) through the 256 `symbols` (64-byte aligned) into
// `out` with vector permutes, and returns how many bytes it did: a multiple of the vector width,
// or 0 where the processor has no such instructions. The caller translates the rest.
std::size_t translateWithPermutes(const std::uint8_t* symbols, const std::uint8_t* in,
                                  std::uint8_t* out, std::size_t count);

}  // namespace ravmolt
