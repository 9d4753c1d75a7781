#include "engine/fast/decode_steps.h"

namespace ravmolt {

[[gnu::noinline]] StepEnd decodeLongCode(const DecodeTable& table, const std::uint8_t* stream,
                                         BitPosition position, std::uint8_t* out) {
  const DecodeEntry entry =
      entryEndingCode(table, position, [stream](BitPosition at) { return windowAt(stream, at); });
  storeSymbols(out, entry);
  return {position + DecodeTable::bitsOf(entry), out + DecodeTable::symbolCountOf(entry)};
}

}  // namespace ravmolt
