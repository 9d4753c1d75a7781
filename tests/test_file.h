// Builds compressed files by hand for tests: header fields, table entries and payload bits, each
// one call. The checksum is computed unless a test sets it, and bits are packed MSB-first.
//
//   TestFile().entry('a', 5).entry('b', 2).bits("0 110 111").bytes()
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace ravmolt::testing {

// The checksum byte of a header, worked out here rather than taken from the engine: bitCount plus
// tableSize (sign-extended), wrapping at 32 bits, then the remainder by 256 truncated towards
// zero. A negative remainder, which no checksum byte can match, is stored as its low byte.
inline std::uint8_t headerChecksum(std::int32_t bitCount, std::int16_t tableSize) {
  std::int64_t sum = std::int64_t{bitCount} + tableSize;
  if (sum > INT32_MAX) sum -= std::int64_t{1} << 32;
  if (sum < INT32_MIN) sum += std::int64_t{1} << 32;
  return static_cast<std::uint8_t>(sum % 256);
}

class TestFile {
 public:
  // One 5-byte table entry: symbol, then the count little-endian.
  TestFile& entry(std::uint8_t symbol, std::int32_t count) {
    table_.push_back(symbol);
    appendLittleEndian(table_, static_cast<std::uint32_t>(count), 4);
    return *this;
  }
  // Appends payload bits written as '0' and '1'; any other character (spaces) is ignored.
  // bitCount follows the bits appended unless set explicitly.
  TestFile& bits(std::string_view text) {
    for (char c : text) {
      if (c != '0' && c != '1') continue;
      if (bitsInPayload_ % 8 == 0) payload_.push_back(0);
      if (c == '1') payload_.back() |= static_cast<std::uint8_t>(0x80U >> (bitsInPayload_ % 8));
      ++bitsInPayload_;
    }
    return *this;
  }
  // Appends raw payload bytes.
  TestFile& payloadBytes(std::vector<std::uint8_t> bytes) {
    payload_.insert(payload_.end(), bytes.begin(), bytes.end());
    bitsInPayload_ = 8 * payload_.size();
    return *this;
  }
  TestFile& bitCount(std::int32_t value) {
    bitCount_ = value;
    return *this;
  }
  TestFile& tableSize(std::int16_t value) {
    tableSize_ = value;
    return *this;
  }
  TestFile& checksum(std::uint8_t value) {
    checksum_ = value;
    return *this;
  }

  std::int32_t effectiveBitCount() const {
    return bitCount_.value_or(static_cast<std::int32_t>(bitsInPayload_));
  }
  std::int16_t effectiveTableSize() const {
    return tableSize_.value_or(static_cast<std::int16_t>(table_.size()));
  }

  std::vector<std::uint8_t> bytes() const {
    const std::int32_t bitCount = effectiveBitCount();
    const std::int16_t tableSize = effectiveTableSize();
    std::vector<std::uint8_t> file;
    file.push_back(checksum_.value_or(headerChecksum(bitCount, tableSize)));
    appendLittleEndian(file, static_cast<std::uint32_t>(bitCount), 4);
    appendLittleEndian(file, static_cast<std::uint16_t>(tableSize), 2);
    file.insert(file.end(), table_.begin(), table_.end());
    file.insert(file.end(), payload_.begin(), payload_.end());
    return file;
  }

 private:
  static void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }

  std::vector<std::uint8_t> table_;
  std::vector<std::uint8_t> payload_;
  std::size_t bitsInPayload_ = 0;
  std::optional<std::int32_t> bitCount_;
  std::optional<std::int16_t> tableSize_;
  std::optional<std::uint8_t> checksum_;
};

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

// "abracadabra" with the codes a = 0, b = 110, r = 111, c = 100, d = 101, built from its parts.
inline std::vector<std::uint8_t> abracadabraFile() {
  return TestFile()
      .entry('a', 5)
      .entry('b', 2)
      .entry('c', 1)
      .entry('d', 1)
      .entry('r', 2)
      .bits("0 110 111 0 100 0 101 0 110 111 0")
      .bytes();
}

// `file` (at least a header long) with its header fields rewritten, the checksum the one that goes
// with them unless `checksum` is given; everything after the header is kept.
inline std::vector<std::uint8_t> withHeader(std::vector<std::uint8_t> file, std::int32_t bitCount,
                                            std::int16_t tableSize,
                                            std::optional<std::uint8_t> checksum = std::nullopt) {
  const auto bits = static_cast<std::uint32_t>(bitCount);
  const auto table = static_cast<std::uint16_t>(tableSize);
  file[0] = checksum.value_or(headerChecksum(bitCount, tableSize));
  for (std::size_t i = 0; i < 4; ++i) file[1 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  file[5] = static_cast<std::uint8_t>(table);
  file[6] = static_cast<std::uint8_t>(table >> 8);
  return file;
}

// `file` with its bitCount replaced and the checksum that goes with it; everything else is kept.
inline std::vector<std::uint8_t> withBitCount(std::vector<std::uint8_t> file,
                                              std::int32_t bitCount) {
  const auto tableSize = static_cast<std::int16_t>(file[5] | file[6] << 8);
  return withHeader(std::move(file), bitCount, tableSize);
}

}  // namespace ravmolt::testing
