// Fuzz target: whatever the encoder writes, the decoder must give back, with the count table in
// ascending or descending order and with counts that need not be the data's own.
//
// Input layout: byte 0 flags (bit 0: descending table; bit 1: a count table follows). With a
// table: byte 1 the number of entries, then 5-byte entries (symbol, count little-endian); every
// data byte left without a positive count gets a count of 1. The rest is the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"
#include "tools/encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ravmolt;
  if (size < 1) return 0;
  const auto order =
      (data[0] & 1U) != 0 ? tools::TableOrder::descending : tools::TableOrder::ascending;
  const bool ownTable = (data[0] & 2U) != 0;
  std::size_t at = 1;
  FrequencyTable frequencies{};
  if (ownTable && at < size) {
    const std::size_t entries = data[at++];
    for (std::size_t i = 0; i < entries && at + 5 <= size; ++i, at += 5) {
      frequencies[data[at]] = static_cast<std::int32_t>(
          checks::littleEndian(std::span<const std::uint8_t>(data + at + 1, 4)));
    }
  }
  const std::span<const std::uint8_t> input(data + std::min(at, size), size - std::min(at, size));
  if (ownTable) {
    for (std::uint8_t byte : input) frequencies[byte] = std::max(frequencies[byte], 1);
  } else {
    frequencies = tools::countBytes(input);
  }

  const auto encoded = tools::encodeWithTable(frequencies, input, order);
  if (!encoded) checks::fail("round trip", "encoder refused data that has codes");
  static checks::MemoryDestination memory;
  const checks::Outcome outcome = checks::productionDecode(*encoded, memory);
  if (outcome.status != DecodeStatus::success) checks::fail("round trip", "decode failed");
  if (!std::equal(outcome.output.begin(), outcome.output.end(), input.begin(), input.end())) {
    checks::fail("round trip", "decoded output differs from the input");
  }
  static checks::MemoryDestination referenceMemory;
  const checks::Expected reference = checks::referenceDecode(*encoded, referenceMemory);
  if (!reference.valid || reference.output != outcome.output) {
    checks::fail("round trip", "reference decode disagrees");
  }

  // The table order changes the table bytes only: the header and the payload stay the same.
  const auto other =
      tools::encodeWithTable(frequencies, input,
                             order == tools::TableOrder::ascending ? tools::TableOrder::descending
                                                                   : tools::TableOrder::ascending);
  const auto payloadStart = static_cast<std::ptrdiff_t>(
      kHeaderSize + static_cast<std::size_t>(parseHeader(encoded->data()).tableSize));
  if (!other || other->size() != encoded->size() ||
      !std::equal(encoded->begin(), encoded->begin() + kHeaderSize, other->begin()) ||
      !std::equal(encoded->begin() + payloadStart, encoded->end(), other->begin() + payloadStart)) {
    checks::fail("round trip", "table order changed more than the table");
  }
  return 0;
}
