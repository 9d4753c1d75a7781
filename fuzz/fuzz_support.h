// What the differential fuzz target needs besides its judge: the layout of its inputs and the
// mutator that keeps it, the cache of code trees and their tables, the payloads it makes, the
// cut-offs it decodes within its work budget, and the sources it reads them from.
//
// Input layout:
//   byte 0   the number of table entries, 0 for 256
//   byte 1   flags: bit 0 four-byte counts (else one-byte counts); bit 1 each cut-off gets exactly
//            the bytes it announces (else the whole payload follows); bit 2 long payload; bit 3
//            read from a file (else from memory); bit 4 the sink refuses bytes past a cap; bit 5
//            a long payload repeats the given bytes (else it is generated from them); bit 6 a
//            short payload is decoded through the full root table (else through the small one,
//            as decodePayload decodes short payloads); bit 7 with bit 2, the long payload is
//            decoded on two threads in segments forced short, and made long enough for two of them
//            (the sink's cap does not apply)
//   then     with bit 2: 3 bytes, the long payload's length (see longLengthOf); with bit 3: 2
//            bytes, the file offset of the payload in 2-byte units; with bit 4: 3 bytes, the cap;
//            with bit 7: 1 byte, the segments' length beyond the shortest allowed, in bytes
//   then     the entries (symbol, count); the rest is the payload, or the long payload's seed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/drivers/payload.h"
#include "engine/fast/decode_table.h"
#include "engine/format/code_tree.h"
#include "fuzz/guard_pages.h"
#include "fuzz/loop_variants.h"

namespace ravmolt::checks {

// Flag bits of the input (see the layout above).
constexpr std::uint8_t kWideCounts = 1;
constexpr std::uint8_t kExactPayload = 2;
constexpr std::uint8_t kLongPayload = 4;
constexpr std::uint8_t kFromFile = 8;
constexpr std::uint8_t kCapped = 16;
constexpr std::uint8_t kRepeat = 32;
constexpr std::uint8_t kShortFullTable = 64;
constexpr std::uint8_t kTwoThreads = 128;

// Every cut-off costs a decode of up to the whole payload, so a short payload stays short; 1024
// bits still hold four of the longest (255-bit) codes.
constexpr std::size_t kMaxShortPayload = 128;

// An input taken apart into its fields, as the target reads them and as the mutator changes them.
struct Layout {
  std::uint8_t entryCount = 0;  // 0 for 256
  std::uint8_t flags = 0;
  std::uint32_t length = 0;         // with kLongPayload, 3 bytes
  std::uint32_t offset = 0;         // with kFromFile, 2 bytes
  std::uint32_t cap = 0;            // with kCapped, 3 bytes
  std::uint32_t segment = 0;        // with kTwoThreads, 1 byte
  std::vector<std::uint8_t> table;  // whole entries
  std::vector<std::uint8_t> rest;

  bool has(std::uint8_t flag) const { return (flags & flag) != 0; }
  std::size_t entrySize() const { return has(kWideCounts) ? 5 : 2; }
  FrequencyTable counts() const;

  // Fields cut short by the end of the input read as zeros, and entries stop where a whole one
  // no longer fits.
  static Layout parse(const std::uint8_t* data, std::size_t size);
  // Writes the input back, at most `maxSize` bytes (the rest cut to fit), with the entry count
  // made to match the entries, so that what follows them is never read as one; 0 when even the
  // fields and entries do not fit.
  std::size_t write(std::uint8_t* out, std::size_t maxSize) const;
};

// The target's mutator: one mutation in ten is libFuzzer's own, blind to the layout; the others
// change one part of the input and keep the rest.
std::size_t mutateInput(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                        unsigned int seed);

// The code tree of a count table and its two root tables, each built when first used.
struct CodedTree {
  FrequencyTable counts{};
  NodeArena arena;
  const TreeNode* root = nullptr;
  DecodeTable tables[2];  // the full root table and the small one
  bool built[2] = {false, false};

  const DecodeTable& table(bool small);
};

// Trees by a hash of their counts, one per slot: the corpus holds a few hundred tables, and most
// inputs are mutations that keep theirs. Building the full root table costs as much as a few
// hundred short decodes; tables are a function of the counts alone.
class TreeCache {
 public:
  // The tree of `counts`, or null when no count is positive.
  CodedTree* treeFor(const FrequencyTable& counts);

 private:
  std::array<std::unique_ptr<CodedTree>, 256> trees_;
};

// An input's payload and the cut-offs of it to decode, in order, and how.
struct InputPlan {
  std::vector<std::uint8_t> payload;
  std::vector<std::int32_t> cuts;  // longest first: a file cut short for one stays short
  bool longMode = false;
  bool twoThreads = false;
  bool shortFullTable = false;
  std::uint64_t segmentBits = 0;  // with two threads
  std::size_t fileOffset = 0;
  std::size_t cap = SIZE_MAX;

  // Whether `cut` is decoded through the small root table.
  bool smallTable(std::int32_t cut) const;
  // Every set of decode loops this processor runs, in turn by pairs of cut-offs.
  static const testing::LoopVariant& loops(std::int32_t cut);
};

// The payload of `layout` (none for an empty one) and the cut-offs worth decoding within the
// input's work budget.
InputPlan planInput(const Layout& layout);

// The payload as the decoder reads it: from memory, right before an inaccessible page, or from an
// anonymous file in which it starts at `offset`, with the stream's buffer loaded from the start
// of the file as the header stage leaves it, so that the buffer's refills fall at different places
// in the payload. The memory, the file and the stream over it are reused while the readable part
// stays the same; a stream's state after a decode is the one a fresh stream has once the header
// stage has read its first byte.
class PayloadSource {
 public:
  PayloadSource();
  PayloadSource(const PayloadSource&) = delete;
  PayloadSource& operator=(const PayloadSource&) = delete;
  ~PayloadSource();

  // Starts an input: `payload` (which must outlive the next decodes) read from a file at
  // `offset`, or from memory.
  void load(std::span<const std::uint8_t> payload, bool fromFile, std::size_t offset);
  // The payload's `cut` bits, of which its first `available` bytes are readable. The file is cut
  // to them, so calls must come with `available` never growing.
  Payload payload(std::size_t available, std::int32_t cut);
  void release() { stream_.reset(); }

 private:
  int fd_;
  std::optional<GuardedRegion> memory_;
  std::span<const std::uint8_t> payload_;
  bool fromFile_ = false;
  std::size_t offset_ = 0;
  std::size_t available_ = SIZE_MAX;
  std::optional<SourceStream> stream_;
};

// Reported at exit: each input runs many decodes, and the caches decide much of its cost.
struct Counters {
  std::uint64_t inputs = 0;
  std::uint64_t longInputs = 0;
  std::uint64_t decodes = 0;
  std::uint64_t twoThreadDecodes = 0;
  std::uint64_t plansDeclined = 0;  // cut-offs too short for the two-thread segments asked for
  std::uint64_t treesBuilt = 0;
  std::uint64_t treesReused = 0;
  std::uint64_t fullTablesBuilt = 0;
};
extern Counters counters;
// Prints the counters at exit, from the first call on.
void reportAtExit();

}  // namespace ravmolt::checks
