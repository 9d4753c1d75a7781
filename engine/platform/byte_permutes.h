// Platform: byte translation with AVX-512 VBMI's byte permutes, on x86-64 processors that have
// them (kFeatureBytePermutes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/platform/cpu_features.h"

namespace ravmolt {

#if RAVMOLT_X86_LOOPS
// Translates in[0..count) through the 256 `symbols` (64-byte aligned) into `out`: 64 bytes at a
// time with vector permutes, the rest one by one. Only where cpuFeatures() has
// kFeatureBytePermutes.
void translateWithPermutes(const std::uint8_t* symbols, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t count);
#endif

}  // namespace ravmolt
