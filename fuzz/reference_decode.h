// An independent judge of what decoding a file must give, for the fuzz targets and the
// malformed-input sweep. It reads the layout straight from the bytes with its own arithmetic, and
// restores a well-formed file with the reference tree walk over exactly the announced bits. It
// shares only the code tree with the production path; that tree is pinned by its own tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/decompressor.h"
#include "engine/format/bit_reader.h"
#include "engine/format/code_tree.h"
#include "engine/format/reference_walk.h"
#include "engine/io/destination_stream.h"
#include "engine/io/source_stream.h"

namespace ravmolt::checks {

// Collects what a DestinationStream hands on. Refuses a block that would take it past `cap`
// bytes, so a fuzz input can never make a run allocate without bound, and a test can make a
// write fail where it wants one.
struct MemorySink {
  std::vector<std::uint8_t> bytes;
  std::size_t cap = SIZE_MAX;
  std::size_t calls = 0;  // blocks offered, refused ones included

  static bool take(void* context, const std::uint8_t* data, std::size_t size) {
    auto& sink = *static_cast<MemorySink*>(context);
    ++sink.calls;
    if (size > sink.cap - sink.bytes.size()) return false;
    sink.bytes.insert(sink.bytes.end(), data, data + size);
    return true;
  }
};

// A destination stream into a MemorySink that can be reused run after run: the fuzz targets run
// thousands of decodes a second, and a fresh stream buffer for each would dominate their time.
class MemoryDestination {
 public:
  explicit MemoryDestination(std::size_t cap = SIZE_MAX) { sink_.cap = cap; }
  MemoryDestination(const MemoryDestination&) = delete;
  MemoryDestination& operator=(const MemoryDestination&) = delete;

  // An empty stream for the next run; one that has failed is replaced, since failure is sticky.
  DestinationStream& start() {
    if (!stream_ || stream_->failed()) stream_.emplace(&MemorySink::take, &sink_);
    (void)stream_->flush();  // only moves what an earlier run left buffered out of the way
    sink_.bytes.clear();
    base_ = stream_->total();
    return *stream_;
  }
  void setCap(std::size_t cap) { sink_.cap = cap; }
  // Bytes put into the stream since start(), handed on or not.
  std::uint64_t produced() const { return stream_->total() - base_; }
  std::vector<std::uint8_t>& bytes() { return sink_.bytes; }

 private:
  MemorySink sink_;
  std::optional<DestinationStream> stream_;
  std::uint64_t base_ = 0;
};

// The first `bits` bits of `payload` walked one tree step per bit into `memory`; its bytes() are
// then the output.
inline void walkPayload(const TreeNode* root, std::span<const std::uint8_t> payload,
                        std::uint64_t bits, MemoryDestination& memory) {
  SourceStream source(payload);
  BitReader reader(source);
  DestinationStream& out = memory.start();
  // Memory takes every byte, so the walk and the flush cannot fail.
  if (walkTree(root, reader, static_cast<std::int32_t>(bits), out) != DecodeStatus::success ||
      !out.flush()) {
    std::abort();
  }
}

// What a file must decode to: either valid with exactly `output`, or invalid with nothing.
struct Expected {
  bool valid = false;
  std::vector<std::uint8_t> output;
};

inline std::uint32_t littleEndian(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

inline std::int64_t asSigned(std::uint32_t value, int bits) {
  const std::int64_t half = std::int64_t{1} << (bits - 1);
  const auto v = static_cast<std::int64_t>(value);
  return v >= half ? v - 2 * half : v;
}

// The checksum test in plain 64-bit arithmetic: the 32-bit wrapped sum's truncated remainder
// by 256 against the unsigned checksum byte.
inline bool referenceChecksumMatches(std::uint8_t checksum, std::int64_t bitCount,
                                     std::int64_t tableSize) {
  std::int64_t sum = bitCount + tableSize;
  if (sum > INT32_MAX) sum -= std::int64_t{1} << 32;
  if (sum < INT32_MIN) sum += std::int64_t{1} << 32;
  return sum % 256 == std::int64_t{checksum};
}

// The reference outcome: the header and every table entry must be in the file, the checksum must
// match, a positive bitCount needs a code tree and every payload byte it announces.
inline Expected referenceDecode(std::span<const std::uint8_t> file, MemoryDestination& memory) {
  Expected result;
  if (file.size() < kHeaderSize) return result;
  const std::int64_t bitCount = asSigned(littleEndian(file.subspan(1, 4)), 32);
  const std::int64_t tableSize = asSigned(littleEndian(file.subspan(5, 2)), 16);
  if (!referenceChecksumMatches(file[0], bitCount, tableSize)) return result;

  FrequencyTable frequencies{};
  for (std::int64_t offset = 0; offset < tableSize; offset += 5) {
    const auto at = static_cast<std::size_t>(7 + offset);
    if (file.size() < at + 5) return result;
    frequencies[file[at]] =
        static_cast<std::int32_t>(asSigned(littleEndian(file.subspan(at + 1, 4)), 32));
  }
  result.valid = true;
  if (bitCount <= 0) return result;

  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  const std::size_t payloadStart = 7 + static_cast<std::size_t>(tableSize > 0 ? tableSize : 0);
  const auto payloadBytes = static_cast<std::size_t>((bitCount + 7) / 8);
  if (root == nullptr || file.size() < payloadStart || file.size() - payloadStart < payloadBytes) {
    result.valid = false;
    return result;
  }

  walkPayload(root, file.subspan(payloadStart), static_cast<std::uint64_t>(bitCount), memory);
  result.output = memory.bytes();
  return result;
}

inline Expected referenceDecode(std::span<const std::uint8_t> file) {
  MemoryDestination memory;
  return referenceDecode(file, memory);
}

// What the production decoder did with a file held in memory.
struct Outcome {
  DecodeStatus status = DecodeStatus::success;
  std::vector<std::uint8_t> output;
  std::uint64_t produced = 0;  // bytes put into the destination, handed on or not
};

// Runs the whole Decompressor decode on `file` into memory.
inline Outcome productionDecode(std::span<const std::uint8_t> file, MemoryDestination& memory) {
  SourceStream source(file);
  DestinationStream& destination = memory.start();
  Outcome outcome;
  outcome.status = Decompressor(source, destination).decode();
  outcome.produced = memory.produced();
  outcome.output = memory.bytes();
  return outcome;
}

inline Outcome productionDecode(std::span<const std::uint8_t> file) {
  MemoryDestination memory;
  return productionDecode(file, memory);
}

// Empty when `outcome` is what `expected` demands, else what differs. A run stopped by the cap
// (writeFailed) must have been producing more than the cap allows of the expected output.
inline std::string compareWithReference(const Outcome& outcome, const Expected& expected,
                                        std::size_t cap = SIZE_MAX) {
  if (!expected.valid) {
    if (outcome.status != DecodeStatus::invalidFormat) return "invalid file not rejected";
    if (outcome.produced != 0 || !outcome.output.empty()) return "invalid file produced output";
    return {};
  }
  if (outcome.status == DecodeStatus::writeFailed && expected.output.size() > cap) return {};
  if (outcome.status != DecodeStatus::success) return "well-formed file not decoded";
  if (outcome.output != expected.output) return "output differs from the reference";
  return {};
}

}  // namespace ravmolt::checks
