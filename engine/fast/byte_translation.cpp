#include "engine/fast/byte_translation.h"

#include "engine/platform/byte_permutes.h"

namespace ravmolt {

ByteTranslation::ByteTranslation(const DecodeTable& table) {
  constexpr int kBelowByte = DecodeTable::kTableBits - 8;
  static_assert(kBelowByte >= 0, "a root lookup must see a whole byte");
  for (unsigned byte = 0; byte < 256; ++byte) {
    symbols_[byte] = DecodeTable::symbolOf(table.root()[std::size_t{byte} << kBelowByte], 0);
  }
}

void ByteTranslation::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const {
  const std::size_t done = translateWithPermutes(symbols_, in, out, count);
  for (std::size_t i = done; i < count; ++i) out[i] = symbols_[in[i]];
}

}  // namespace ravmolt
