#include "engine/platform/packed_stores.h"

namespace ravmolt {

bool hasPackedStores() {
#if RAVMOLT_PACKED_STORES
  // Every processor with VBMI2's byte compress (from Ice Lake and Zen 4 on) also has the LZCNT
  // and MOVBE the packed loops are compiled for; not every compiler can ask for those two.
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi") &&
                          __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  return has;
#else
  return false;
#endif
}

}  // namespace ravmolt
