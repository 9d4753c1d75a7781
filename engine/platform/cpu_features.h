// Platform: what the processor offers the fast decode loops, detected once into one feature
// word, and the attributes that compile a loop for each such feature.
//
// The library is built for the target's baseline. Each fast path that needs more (BMI2's
// flag-free shifts, AVX-512's byte compress and byte permutes) is a function compiled with its
// own target attribute, and the span decoder picks among them by this word when it is made. No
// loader support is needed, so the same choice works on every object format, Windows included.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RAVMOLT_X86_LOOPS 1
// x86-64-v3: BMI2's shifts by a register neither read nor write the flags and need no count
// register, which shortens each link of the decode loops' chains of table-driven shifts.
#define RAVMOLT_TARGET_V3 [[gnu::target("arch=x86-64-v3")]]
// AVX-512 with VBMI2's byte compress, which packs a window's symbols into one store. Every
// processor with it also has BMI2, LZCNT and MOVBE. Everything a packed loop calls is inlined
// into it, so that it runs on these instructions throughout.
#define RAVMOLT_TARGET_PACKED \
  [[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,lzcnt,movbe,popcnt"), gnu::flatten]]
// AVX-512 VBMI's two-register byte permute, which translates 64 bytes through 128 at once.
#define RAVMOLT_TARGET_PERMUTES [[gnu::target("avx512f,avx512bw,avx512vbmi")]]
#else
#define RAVMOLT_X86_LOOPS 0
#endif

namespace ravmolt {

using CpuFeatures = std::uint32_t;
inline constexpr CpuFeatures kFeatureV3 = 1U << 0;            // the x86-64-v3 level
inline constexpr CpuFeatures kFeaturePackedStores = 1U << 1;  // AVX-512 F, BW, VL and VBMI2
inline constexpr CpuFeatures kFeatureBytePermutes = 1U << 2;  // AVX-512 F, BW and VBMI
inline constexpr CpuFeatures kEveryFeature = ~CpuFeatures{0};

// The features of this processor, as its operating system lets programs use them, within the
// current limit. Detected on the first call; later calls cost a load.
CpuFeatures cpuFeatures();

// Limits what cpuFeatures() reports to `mask` from now on, for every thread, and returns the limit
// before. Tests and benchmarks use it to run the loops an older processor would; decoders made
// before the call keep the loops they chose.
CpuFeatures limitCpuFeatures(CpuFeatures mask);

}  // namespace ravmolt
