#include "engine/platform/cpu_features.h"

#include <atomic>

#if RAVMOLT_X86_LOOPS
#include <cpuid.h>
#endif

namespace ravmolt {
namespace {

#if RAVMOLT_X86_LOOPS

struct CpuidLeaf {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidLeaf cpuid(unsigned leaf, unsigned subleaf = 0) {
  CpuidLeaf r;
  if (__get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx) == 0) return {};
  return r;
}

bool has(unsigned word, unsigned bit) { return ((word >> bit) & 1U) != 0; }

// The register state the operating system saves on a switch (XCR0): an instruction set whose
// registers it does not save cannot be used, whatever the processor has.
std::uint64_t savedState() {
  unsigned low = 0;
  unsigned high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

CpuFeatures detect() {
  const CpuidLeaf basic = cpuid(1);
  if (!has(basic.ecx, 27)) return 0;  // no OSXSAVE: no vector state is saved, so no AVX
  const std::uint64_t state = savedState();
  const bool avxState = (state & 0x6) == 0x6;       // SSE and AVX registers
  const bool avx512State = (state & 0xE6) == 0xE6;  // and the mask and upper ZMM registers
  const CpuidLeaf extended = cpuid(7);
  const CpuidLeaf amd = cpuid(0x80000001);
  const bool v3 = avxState && has(basic.ecx, 12) /* FMA */ && has(basic.ecx, 22) /* MOVBE */ &&
                  has(basic.ecx, 23) /* POPCNT */ && has(basic.ecx, 28) /* AVX */ &&
                  has(basic.ecx, 29) /* F16C */ && has(extended.ebx, 3) /* BMI1 */ &&
                  has(extended.ebx, 5) /* AVX2 */ && has(extended.ebx, 8) /* BMI2 */ &&
                  has(amd.ecx, 5) /* LZCNT */;
  const bool avx512 =
      avx512State && has(extended.ebx, 16) /* F */ && has(extended.ebx, 30) /* BW */;
  CpuFeatures features = 0;
  if (v3) features |= kFeatureV3;
  if (v3 && avx512 && has(extended.ebx, 31) /* VL */ && has(extended.ecx, 6) /* VBMI2 */) {
    features |= kFeaturePackedStores;
  }
  if (avx512 && has(extended.ecx, 1) /* VBMI */) features |= kFeatureBytePermutes;
  return features;
}

#else

CpuFeatures detect() { return 0; }

#endif

std::atomic<CpuFeatures> limit{kEveryFeature};

}  // namespace

CpuFeatures cpuFeatures() {
  static const CpuFeatures detected = detect();
  return detected & limit.load(std::memory_order_relaxed);
}

CpuFeatures limitCpuFeatures(CpuFeatures mask) {
  return limit.exchange(mask, std::memory_order_relaxed);
}

}  // namespace ravmolt
