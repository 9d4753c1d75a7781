// The decode loops compiled for x86-64 processor levels beyond the baseline, where the build
// targets x86-64; elsewhere there are none, and the portable loops serve every processor.
#pragma once

#include "engine/fast/decode_loops.h"

namespace ravmolt {

#if RAVMOLT_X86_LOOPS
// Puts into `loops` the loops compiled for the levels `features` includes, where they are faster.
void addX86Loops(CpuFeatures features, DecodeLoops& loops);
#else
inline void addX86Loops(CpuFeatures, DecodeLoops&) {}
#endif

}  // namespace ravmolt
