// The inputs of the malformed-input sweep: well-formed seeds and every damaged or extreme version
// the sweep builds from each. Shared by the in-process sweep and by the program that writes the
// same inputs, with their reference outcomes, for the WebAssembly module's tests.
#pragma once

#include <algorithm>
#include <climits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/format.h"
#include "tests/temp_folder.h"
#include "tests/test_file.h"
#include "tools/encoder.h"

// RAVMOLT_SAMPLES_DIR: the folder of samples/, set by the build for the programs that use this.

namespace ravmolt::sweep {

using testing::Bytes;

struct Seed {
  std::string name;
  Bytes bytes;
};

inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::int32_t bitCountOf(const Bytes& file) { return parseHeader(file.data()).bitCount; }
inline std::int16_t tableSizeOf(const Bytes& file) { return parseHeader(file.data()).tableSize; }

// Rewrites the header fields in place; the checksum follows them unless `checksum` is given.
inline void setHeader(Bytes& file, std::int32_t bitCount, std::int16_t tableSize,
                      std::optional<std::uint8_t> checksum = std::nullopt) {
  file = testing::withHeader(std::move(file), bitCount, tableSize, checksum);
}

inline std::vector<Seed> seeds() {
  std::vector<Seed> all;
  all.push_back({"sample", testing::readBytes(RAVMOLT_SAMPLES_DIR "/lighthouse.rvm")});
  all.push_back({"abracadabra", {0x30, 0x17, 0, 0,    0, 0x19, 0, 0x61, 5,    0,    0,    0,
                                 0x62, 2,    0, 0,    0, 0x63, 1, 0,    0,    0,    0x64, 1,
                                 0,    0,    0, 0x72, 2, 0,    0, 0,    0x6E, 0x8A, 0xDC}});
  all.push_back({"singleSymbolWithFiller", {0x0A, 5, 0, 0, 0, 5, 0, 0x61, 4, 0, 0, 0, 0x08}});
  all.push_back({"twoSymbolsOneBitCodes",
                 testing::TestFile().entry('a', 1).entry('b', 1).bits("0110 1001 1").bytes()});
  // Every pairing of 256 counts of INT32_MAX wraps: codes up to 255 bits long.
  FrequencyTable deep;
  deep.fill(INT32_MAX);
  Bytes everyByte;
  for (int b = 255; b >= 0; --b) everyByte.push_back(static_cast<std::uint8_t>(b));
  all.push_back({"deepTree", tools::encodeWithTable(deep, everyByte).value()});
  // tableSize 22: the fifth entry ('r', 2) reads three bytes past the table, which are the
  // first payload bytes, zero; so the payload starts with 24 zero bits, 24 codes of 'a'.
  all.push_back({"tableSizeNotMultipleOfFive", testing::TestFile()
                                                   .entry('a', 5)
                                                   .entry('b', 2)
                                                   .entry('c', 1)
                                                   .entry('d', 1)
                                                   .entry('r', 2)
                                                   .tableSize(22)
                                                   .payloadBytes({0x6E, 0x8A, 0xDC})
                                                   .bitCount(24 + 23)
                                                   .bytes()});
  // tableSize 1: one entry whose count is the first four payload bytes, 0x15555555.
  all.push_back({"tableSizeOne", testing::TestFile()
                                     .tableSize(1)
                                     .payloadBytes({'A', 0x55, 0x55, 0x55, 0x15, 0xF0})
                                     .bitCount(38)
                                     .bytes()});
  all.push_back({"emptyData", tools::encode({}).value()});
  all.push_back({"descendingTable",
                 tools::encode(text("mississippi river"), tools::TableOrder::descending).value()});
  return all;
}

inline std::vector<std::int32_t> bitCountGrid(const Bytes& seed) {
  const std::int64_t actual = bitCountOf(seed);
  const std::int64_t payloadBits = 8 * (static_cast<std::int64_t>(seed.size()) - 7 -
                                        std::max<std::int64_t>(tableSizeOf(seed), 0));
  std::set<std::int64_t> values = {
      INT32_MIN, INT32_MIN + 1, INT32_MIN + 256, -65536,        -256,     -255, -1, 0, 1, 2, 7, 8,
      9,         1 << 24,       INT32_MAX - 256, INT32_MAX - 1, INT32_MAX};
  for (std::int64_t delta : {-9, -8, -7, -1, 0, 1, 7, 8, 9}) {
    values.insert(actual + delta);
    values.insert(payloadBits + delta);
  }
  std::vector<std::int32_t> grid;
  for (std::int64_t v : values) {
    if (v >= INT32_MIN && v <= INT32_MAX) grid.push_back(static_cast<std::int32_t>(v));
  }
  return grid;
}

inline std::vector<std::int16_t> tableSizeGrid(const Bytes& seed) {
  const std::int64_t actual = tableSizeOf(seed);
  std::set<std::int64_t> values = {-32768, -32767, -1280, -5,   -1,   0,     1,    4,
                                   5,      6,      1279,  1280, 1281, 32766, 32767};
  for (std::int64_t delta : {-6, -5, -4, -1, 0, 1, 4, 5, 6}) values.insert(actual + delta);
  std::vector<std::int16_t> grid;
  for (std::int64_t v : values) {
    if (v >= INT16_MIN && v <= INT16_MAX) grid.push_back(static_cast<std::int16_t>(v));
  }
  return grid;
}

// Every input the sweep builds from `seed`, the seed itself first.
inline std::vector<Bytes> damagedVersions(const Bytes& seed) {
  std::vector<Bytes> inputs{seed};
  for (std::size_t length = 0; length < seed.size(); ++length) {
    inputs.emplace_back(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(length));
  }
  // The header and table bytes, and the up to four payload bytes a last entry can run into; of
  // a long table, its first and last entries, since each flip costs a whole decode.
  const std::size_t tableEnd = std::min<std::size_t>(
      seed.size(), kHeaderSize + static_cast<std::size_t>(std::max<int>(tableSizeOf(seed), 0)) + 4);
  for (std::size_t at = 0; at < tableEnd; ++at) {
    if (at >= kHeaderSize + 64 && at + 16 < tableEnd) continue;
    for (int bit = 0; bit < 8; ++bit) {
      Bytes flipped = seed;
      flipped[at] ^= static_cast<std::uint8_t>(1U << bit);
      inputs.push_back(flipped);
      if (at == 0) continue;
      setHeader(flipped, bitCountOf(flipped), tableSizeOf(flipped));
      inputs.push_back(flipped);
    }
  }
  for (std::int32_t bitCount : bitCountGrid(seed)) {
    for (std::int16_t tableSize : tableSizeGrid(seed)) {
      Bytes edited = seed;
      setHeader(edited, bitCount, tableSize);
      inputs.push_back(edited);
      // A negative sum passes only with a zero remainder and a zero checksum byte.
      setHeader(edited, bitCount, tableSize, 0);
      inputs.push_back(edited);
    }
  }
  return inputs;
}

}  // namespace ravmolt::sweep
