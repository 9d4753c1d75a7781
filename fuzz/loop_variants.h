// The decode loops a test runs: every set this processor can run, each picked by the feature limit
// that leads the span decoders to it, so that the portable loops and each processor level's are
// all checked on a processor that has them all.
#pragma once

#include <string>
#include <vector>

#include "engine/fast/decode_loops.h"
#include "engine/platform/cpu_features.h"

namespace ravmolt::testing {

struct LoopVariant {
  CpuFeatures limit;
  std::string name;
};

// The portable loops first and this processor's own (those a decode takes unforced) last.
inline std::vector<LoopVariant> loopVariantsHere() {
  std::vector<LoopVariant> variants;
  std::vector<DecodeLoops> seen;
  const CpuFeatures here = cpuFeatures();
  for (const CpuFeatures limit :
       {CpuFeatures{0}, kFeatureV3, kFeatureV3 | kFeaturePackedStores, kEveryFeature}) {
    const DecodeLoops loops = decodeLoopsFor(here & limit);
    bool known = false;
    for (const DecodeLoops& other : seen) {
      known = known || (other.steps == loops.steps && other.lanes == loops.lanes &&
                        other.translate == loops.translate);
    }
    if (known) continue;
    seen.push_back(loops);
    std::string name = loops.name;
    if (loops.translate != translateBytes) name += ", byte permutes";
    variants.push_back({here & limit, name});
  }
  return variants;
}

// Span decoders made while this lives take the loops of `variant`.
class ForcedLoops {
 public:
  explicit ForcedLoops(const LoopVariant& variant) : before_(limitCpuFeatures(variant.limit)) {}
  ~ForcedLoops() { limitCpuFeatures(before_); }
  ForcedLoops(const ForcedLoops&) = delete;
  ForcedLoops& operator=(const ForcedLoops&) = delete;

 private:
  CpuFeatures before_;
};

}  // namespace ravmolt::testing
