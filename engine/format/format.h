// The compressed file format: a 7-byte header, a table of 5-byte count entries and an MSB-first
// bit stream. Everything here is shared by the decoder, the encoder in tools/ and the tests, so
// the layout is written down exactly once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ravmolt {

inline constexpr std::size_t kHeaderSize = 7;      // checksum(1) bitCount(4) tableSize(2)
inline constexpr std::size_t kTableEntrySize = 5;  // symbol(1) count(4)
inline constexpr std::size_t kSymbolCount = 256;
inline constexpr std::uint8_t kFillerSymbol = 0x20;  // the second leaf of a one-symbol tree

// The first kHeaderSize bytes of a compressed file, little-endian.
struct FileHeader {
  std::uint8_t checksum = 0;
  std::int32_t bitCount = 0;   // payload bits that carry codes; zero or below decodes to nothing
  std::int16_t tableSize = 0;  // bytes of table; the payload starts at kHeaderSize + tableSize
};

// One signed 32-bit count per byte value. Counts of zero or below give that byte no code.
using FrequencyTable = std::array<std::int32_t, kSymbolCount>;

// Reads a little-endian integer of sizeof(T) bytes; T is an unsigned or signed integer type.
template <typename T>
constexpr T readLittleEndian(const std::uint8_t* bytes) {
  using Unsigned = std::make_unsigned_t<T>;
  Unsigned value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) {
    value = static_cast<Unsigned>((value << 8) | bytes[i]);
  }
  return static_cast<T>(value);  // modular conversion, well defined since C++20
}

// Parses the header from its kHeaderSize bytes.
constexpr FileHeader parseHeader(const std::uint8_t* bytes) {
  return FileHeader{bytes[0], readLittleEndian<std::int32_t>(bytes + 1),
                    readLittleEndian<std::int16_t>(bytes + 5)};
}

// The remainder, truncated towards zero, of bitCount + tableSize summed in wrapping 32-bit
// arithmetic: -255 to 255. A negative sum can only match a checksum byte when it is a multiple
// of 256, which is how stored files and their writer have always compared it.
constexpr std::int32_t checksumRemainder(std::int32_t bitCount, std::int16_t tableSize) {
  const auto sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(bitCount) +
                                             static_cast<std::uint32_t>(std::int32_t{tableSize}));
  return sum % 256;
}

constexpr bool checksumMatches(const FileHeader& header) {
  return checksumRemainder(header.bitCount, header.tableSize) == std::int32_t{header.checksum};
}

// The checksum byte a writer stores for a header with these fields.
constexpr std::uint8_t checksumFor(std::int32_t bitCount, std::int16_t tableSize) {
  return static_cast<std::uint8_t>(checksumRemainder(bitCount, tableSize));
}

}  // namespace ravmolt
