// Fuzz target: arbitrary bytes through the whole decode, into a capped in-memory sink, and through
// the streaming call in pieces of random sizes, each judged by the reference decoder. An odd first
// byte has the checksum rewritten to match, so mutations of the table and payload are not all
// stopped at the checksum test; and a mutator that knows the layout keeps header, table and bit
// count consistent in most of the inputs it makes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/format/format.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"
#include "fuzz/stream_feed.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

// The cap exceeds anything a libFuzzer-sized input can produce with valid files (8 output bytes
// per payload byte), but stops a long replay input from growing the sink without bound.
constexpr std::size_t kOutputCap = std::size_t{16} << 20;

// How many inputs got as far as the payload decoder (a valid header, a whole table, a positive
// bitCount, codes, and every payload byte), reported at exit: the rest stop at the header stage.
std::uint64_t inputs = 0;
std::uint64_t payloadsDecoded = 0;

void report() {
  std::fprintf(stderr, "decode: %llu inputs, %llu (%.1f %%) reached the payload decoder\n",
               static_cast<unsigned long long>(inputs),
               static_cast<unsigned long long>(payloadsDecoded),
               inputs == 0 ? 0.0 : 100.0 * static_cast<double>(payloadsDecoded) / inputs);
}

// A compressed file taken apart: the header's bit count, the table's entries and the payload.
// Put together again, tableSize is five bytes a whole entry and the checksum matches.
struct FileParts {
  std::int32_t bitCount = 0;
  std::vector<std::array<std::uint8_t, ravmolt::kTableEntrySize>> entries;
  std::vector<std::uint8_t> payload;

  // The bit count that ends `slack` (0..7) bits before the payload's last byte does.
  std::int32_t bitsWithSlack(unsigned slack) const {
    const std::int64_t bits = 8 * static_cast<std::int64_t>(payload.size()) - slack;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(bits, 0, INT32_MAX));
  }
};

FileParts split(const std::uint8_t* data, std::size_t size) {
  using namespace ravmolt;
  FileParts parts;
  if (size < kHeaderSize) return parts;
  const FileHeader header = parseHeader(data);
  parts.bitCount = header.bitCount;
  const std::size_t table = std::min<std::size_t>(
      header.tableSize > 0 ? static_cast<std::size_t>(header.tableSize) : 0, size - kHeaderSize);
  for (std::size_t at = kHeaderSize; at + kTableEntrySize <= kHeaderSize + table;
       at += kTableEntrySize) {
    auto& entry = parts.entries.emplace_back();
    std::memcpy(entry.data(), data + at, kTableEntrySize);
  }
  parts.payload.assign(data + kHeaderSize + table, data + size);
  return parts;
}

// Writes `parts` into `out` (at most `maxSize` bytes, the payload cut to fit) and returns the
// size; nothing when even the header and table do not fit.
std::size_t join(FileParts& parts, std::uint8_t* out, std::size_t maxSize, bool matchChecksum) {
  using namespace ravmolt;
  const std::size_t table = parts.entries.size() * kTableEntrySize;
  if (kHeaderSize + table > maxSize || table > INT16_MAX) return 0;
  parts.payload.resize(std::min(parts.payload.size(), maxSize - kHeaderSize - table));
  const auto tableSize = static_cast<std::int16_t>(table);
  out[0] = matchChecksum ? checksumFor(parts.bitCount, tableSize) : out[0];
  for (int i = 0; i < 4; ++i) {
    out[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(parts.bitCount) >> (8 * i));
  }
  out[5] = static_cast<std::uint8_t>(table);
  out[6] = static_cast<std::uint8_t>(table >> 8);
  std::uint8_t* at = out + kHeaderSize;
  for (const auto& entry : parts.entries) at = std::copy(entry.begin(), entry.end(), at);
  at = std::copy(parts.payload.begin(), parts.payload.end(), at);
  return static_cast<std::size_t>(at - out);
}

// Counts that make trees of every shape: small ones, equal ones, powers of two (deep, skewed
// trees), huge ones whose sums wrap, and ones that give no code at all.
std::int32_t anyCount(std::minstd_rand& random) {
  const std::uint32_t value = static_cast<std::uint32_t>(random());
  switch (random() % 8) {
    case 0:
      return 1;
    case 1:
      return 1 + static_cast<std::int32_t>(value % 4);
    case 2:
      return 1 + static_cast<std::int32_t>(value % 100);
    case 3:
      return 1 + static_cast<std::int32_t>(value % 65536);
    case 4:
      return static_cast<std::int32_t>(value >> 1);
    case 5:
      return INT32_MAX - static_cast<std::int32_t>(value % 4);
    case 6:
      return value % 2 == 0 ? 0 : -static_cast<std::int32_t>(value >> 1);
    default:
      return std::int32_t{1} << (value % 31);
  }
}

void setCount(std::array<std::uint8_t, ravmolt::kTableEntrySize>& entry, std::int32_t count) {
  for (int i = 0; i < 4; ++i) {
    entry[1 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> (8 * i));
  }
}

// libFuzzer's own mutation of `bytes`, which may grow them to `maxSize`.
void mutateBytes(std::vector<std::uint8_t>& bytes, std::size_t maxSize) {
  const std::size_t size = bytes.size();
  bytes.resize(std::max<std::size_t>(maxSize, 1));
  bytes.resize(LLVMFuzzerMutate(bytes.data(), size, bytes.size()));
}

}  // namespace

// One mutation in eight is libFuzzer's own, blind to the layout, which reaches the header stage's
// refusals; the others change one part of the file and keep it consistent: the payload (its bytes
// or its length, the bit count following it so that the payload still ends where it did, at any
// bit of its last byte), the bit count alone, or one entry of the table.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  using namespace ravmolt;
  std::minstd_rand random(seed);
  const unsigned kind = random() % 8;
  if (kind == 0 || maxSize < kHeaderSize) return LLVMFuzzerMutate(data, size, maxSize);
  FileParts parts = split(data, size);
  const std::int64_t oldSlack =
      8 * static_cast<std::int64_t>(parts.payload.size()) - std::int64_t{parts.bitCount};
  const bool consistent = oldSlack >= 0 && oldSlack < 8;
  const auto slack = static_cast<unsigned>(consistent ? oldSlack : random() % 8);
  switch (kind) {
    case 1:
    case 2:
    case 3: {  // the payload's bytes, or its length
      const std::size_t room = maxSize - kHeaderSize - parts.entries.size() * kTableEntrySize;
      if (kind == 3) {
        parts.payload.resize(
            std::min<std::size_t>(random() % (2 * parts.payload.size() + 64), room));
      } else {
        mutateBytes(parts.payload, room);
      }
      if (consistent || random() % 4 != 0) parts.bitCount = parts.bitsWithSlack(slack);
      break;
    }
    case 4: {  // the bit count: ending anywhere in the last byte, earlier, or out of bounds
      const std::int64_t bits = 8 * static_cast<std::int64_t>(parts.payload.size());
      switch (random() % 4) {
        case 0:
        case 1:
          parts.bitCount = parts.bitsWithSlack(random() % 8);
          break;
        case 2:
          parts.bitCount = static_cast<std::int32_t>(std::min<std::int64_t>(
              1 + static_cast<std::int64_t>(random()) % (bits + 1), INT32_MAX));
          break;
        default: {
          const std::int32_t edges[] = {
              0, -1, INT32_MIN, INT32_MAX,
              static_cast<std::int32_t>(std::min<std::int64_t>(bits + 1, INT32_MAX))};
          parts.bitCount = edges[random() % std::size(edges)];
        }
      }
      break;
    }
    default: {  // one entry of the table: its count or symbol, a new one, or one fewer
      auto& entries = parts.entries;
      const unsigned change = entries.empty() ? 0 : random() % 4;
      if (change == 0 && entries.size() < 300) {
        std::array<std::uint8_t, kTableEntrySize> entry{};
        entry[0] = static_cast<std::uint8_t>(random());
        setCount(entry, anyCount(random));
        entries.insert(
            entries.begin() + static_cast<std::ptrdiff_t>(random() % (entries.size() + 1)), entry);
      } else if (change == 1 && !entries.empty()) {
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(random() % entries.size()));
      } else if (!entries.empty()) {
        auto& entry = entries[random() % entries.size()];
        if (change == 2) {
          setCount(entry, anyCount(random));
        } else {
          entry[0] = static_cast<std::uint8_t>(random());
        }
      }
    }
  }
  // One in sixteen keeps the old checksum byte, so that mismatches stay in the mix.
  const std::size_t joined = join(parts, data, maxSize, random() % 16 != 0);
  return joined != 0 ? joined : LLVMFuzzerMutate(data, size, maxSize);
}

// The same file through the streaming call, in pieces and into rooms of sizes drawn from a
// generator seeded by the input: a byte or a few at a time, primes, whole blocks and more.
static void streamInPieces(const std::vector<std::uint8_t>& file) {
  static ravmolt_decoder* const decoder = ravmolt_decoder_create();
  if (decoder == nullptr) ravmolt::checks::fail("stream", "no decoder");
  std::uint32_t seed = static_cast<std::uint32_t>(file.size());
  for (std::size_t i = 0; i < std::min<std::size_t>(file.size(), 16); ++i)
    seed = seed * 31 + file[i];
  std::minstd_rand random(seed | 1);
  const auto draw = [&random] {
    constexpr std::size_t kSizes[] = {1, 1, 2, 7, 13, 64, 131, 4093, 65536};
    return random() % 4 == 0 ? 1 + random() % 300 : kSizes[random() % std::size(kSizes)];
  };
  ravmolt_decoder_reset(decoder);
  const ravmolt::checks::StreamRun run = ravmolt::checks::feedStream(decoder, file, draw, draw);
  const std::string difference = ravmolt::checks::judgeStream(run, file);
  if (!difference.empty()) ravmolt::checks::fail("stream", difference);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ravmolt;
  static const bool reporting = std::atexit(report) == 0;
  (void)reporting;
  std::vector<std::uint8_t> file(data, data + size);
  if (size >= kHeaderSize && (data[0] & 1U) != 0) {
    const FileHeader header = parseHeader(file.data());
    file[0] = checksumFor(header.bitCount, header.tableSize);
  }
  static checks::MemoryDestination referenceMemory;
  static checks::MemoryDestination productionMemory(kOutputCap);
  const checks::Expected expected = checks::referenceDecode(file, referenceMemory);
  ++inputs;
  if (expected.valid && parseHeader(file.data()).bitCount > 0) ++payloadsDecoded;
  const checks::Outcome outcome = checks::productionDecode(file, productionMemory);
  const std::string difference = checks::compareWithReference(outcome, expected, kOutputCap);
  if (!difference.empty()) checks::fail("decode", difference);
  streamInPieces(file);
  return 0;
}
