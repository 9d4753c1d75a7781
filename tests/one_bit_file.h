// Compressed files of any size with one-bit codes, written and checked a block at a time so that
// gigabyte outputs never sit in memory. The payload comes from a fixed generator, so the expected
// output of every prefix can be recomputed while reading the destination back.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "tests/test_file.h"

namespace ravmolt::testing {

class OneBitFile {
 public:
  // Table 'a' 1, 'b' 1: 'a' has the code 0 and 'b' the code 1.
  static OneBitFile twoSymbols(std::int32_t bitCount) {
    return OneBitFile(bitCount, {'a', 1, 0, 0, 0, 'b', 1, 0, 0, 0}, 10, {}, {'a', 'b'});
  }
  // tableSize 1: the single entry's count is the first four payload bytes (0x15555555), so the
  // table holds one symbol, 'A' with the code 0, and the code 1 reaches the filler space 0x20.
  static OneBitFile countInPayload(std::int32_t bitCount) {
    return OneBitFile(bitCount, {'A'}, 1, {0x55, 0x55, 0x55, 0x15}, {'A', 0x20});
  }

  // Writes only the first `bytes` payload bytes; the rest reads as zeros, as from a sparse tail
  // that the caller adds by extending the file.
  OneBitFile& writtenUpTo(std::uint64_t bytes) {
    written_ = bytes;
    return *this;
  }

  std::int32_t bitCount() const { return bitCount_; }
  std::uint64_t outputSize() const { return static_cast<std::uint64_t>(bitCount_); }
  std::uint64_t payloadSize() const { return (outputSize() + 7) / 8; }

  // Writes the whole compressed file; false on any write error.
  bool write(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(head_.data()),
              static_cast<std::streamsize>(head_.size()));
    std::vector<std::uint8_t> block(kBlock);
    const std::uint64_t payload = std::min(payloadSize(), written_);
    for (std::uint64_t done = 0; done < payload;) {
      const std::uint64_t n = std::min<std::uint64_t>(kBlock, payload - done);
      payloadBytes(done, block.data(), n);
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
      done += n;
    }
    out.close();
    return static_cast<bool>(out);
  }

  // The length of the file at `path` when it holds a prefix of the expected output (the whole
  // output included); nothing when any byte differs or the file is longer.
  std::optional<std::uint64_t> matchingPrefix(const std::filesystem::path& path) const {
    // Each payload byte restores to eight output bytes; their patterns are looked up, not walked.
    std::array<std::array<std::uint8_t, 8>, 256> expansion{};
    for (unsigned byte = 0; byte < 256; ++byte) {
      for (unsigned bit = 0; bit < 8; ++bit)
        expansion[byte][bit] = symbols_[(byte >> (7 - bit)) & 1U];
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(kBlock);  // a multiple of 8, so every block starts on a payload byte
    std::vector<std::uint8_t> payload(kBlock / 8);
    std::vector<std::uint8_t> expected(kBlock);
    std::uint64_t at = 0;
    while (in) {
      in.read(block.data(), static_cast<std::streamsize>(kBlock));
      const auto got = static_cast<std::size_t>(in.gcount());
      if (got == 0) break;
      if (at + got > outputSize()) return std::nullopt;
      payloadBytes(at / 8, payload.data(), (got + 7) / 8);
      for (std::size_t i = 0; i < (got + 7) / 8; ++i) {
        std::memcpy(expected.data() + 8 * i, expansion[payload[i]].data(), 8);
      }
      if (std::memcmp(block.data(), expected.data(), got) != 0) return std::nullopt;
      at += got;
    }
    return at;
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;

  // `symbols` are what the codes 0 and 1 restore to.
  OneBitFile(std::int32_t bitCount, std::vector<std::uint8_t> table, std::int16_t tableSize,
             std::vector<std::uint8_t> fixedPayload, std::array<std::uint8_t, 2> symbols)
      : fixed_(std::move(fixedPayload)), bitCount_(bitCount), symbols_(symbols) {
    head_.push_back(headerChecksum(bitCount, tableSize));
    for (int i = 0; i < 4; ++i) {
      head_.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(bitCount) >> (8 * i)));
    }
    head_.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(tableSize)));
    head_.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(tableSize) >> 8));
    head_.insert(head_.end(), table.begin(), table.end());
  }

  // Payload bytes [from, from + n): the forced first bytes, then a fixed, well-mixed sequence
  // (splitmix64, one word per eight bytes), then zeros past what write() puts in the file.
  void payloadBytes(std::uint64_t from, std::uint8_t* out, std::size_t n) const {
    std::uint64_t group = UINT64_MAX;
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t index = from + i;
      if (index >= written_) {
        out[i] = 0;
      } else if (index < fixed_.size()) {
        out[i] = fixed_[index];
      } else {
        if (index / 8 != group) {
          group = index / 8;
          word = (group + 1) * 0x9E3779B97F4A7C15ULL;
          word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ULL;
          word = (word ^ (word >> 27)) * 0x94D049BB133111EBULL;
          word ^= word >> 31;
        }
        out[i] = static_cast<std::uint8_t>(word >> (8 * (index % 8)));
      }
    }
  }

  std::vector<std::uint8_t> head_;
  std::vector<std::uint8_t> fixed_;
  std::int32_t bitCount_;
  std::uint64_t written_ = UINT64_MAX;
  std::array<std::uint8_t, 2> symbols_;
};

}  // namespace ravmolt::testing
