// The decode loops: the few functions in which a fast decode spends its time, compiled once for
// the target's baseline and, on x86-64, again for each processor level that makes them faster.
// A span decoder resolves them into one table when it is made, from the processor's feature word,
// and calls through it; nothing else about a decode depends on the processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fast/byte_translation.h"
#include "engine/fast/decode_table.h"
#include "engine/fast/lanes.h"
#include "engine/platform/cpu_features.h"

namespace ravmolt {

// The single-chain loop: decodes whole steps from `from` while they start no later than `limit`,
// and returns where it stopped, a true code boundary. Reads eight bytes from every byte of the
// codes it decodes and stores at most kStoreOverrun bytes past the last symbol.
using DecodeSteps = BitPosition (*)(const DecodeTable& table, const std::uint8_t* stream,
                                    BitPosition from, BitPosition limit, std::uint8_t*& out);

struct DecodeLoops {
  const char* name;  // for tests and benchmarks
  DecodeSteps steps;
  DecodeLanes lanes;
  TranslateBytes translate;  // when every code is 8 bits
};

// The fastest loops for a processor with `features`.
DecodeLoops decodeLoopsFor(CpuFeatures features);

}  // namespace ravmolt
