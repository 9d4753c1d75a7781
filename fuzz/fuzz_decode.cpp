// Fuzz target: arbitrary bytes through the whole decode, into a capped in-memory sink, judged by
// the reference decoder. An odd first byte has the checksum rewritten to match, so mutations of
// the table and payload are not all stopped at the checksum test.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/format/format.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"

namespace {

// The cap exceeds anything a libFuzzer-sized input can produce with valid files (8 output bytes
// per payload byte), but stops a long replay input from growing the sink without bound.
constexpr std::size_t kOutputCap = std::size_t{16} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ravmolt;
  std::vector<std::uint8_t> file(data, data + size);
  if (size >= kHeaderSize && (data[0] & 1U) != 0) {
    const FileHeader header = parseHeader(file.data());
    file[0] = checksumFor(header.bitCount, header.tableSize);
  }
  static checks::MemoryDestination referenceMemory;
  static checks::MemoryDestination productionMemory(kOutputCap);
  const checks::Expected expected = checks::referenceDecode(file, referenceMemory);
  const checks::Outcome outcome = checks::productionDecode(file, productionMemory);
  const std::string difference = checks::compareWithReference(outcome, expected, kOutputCap);
  if (!difference.empty()) checks::fail("decode", difference);
  return 0;
}
