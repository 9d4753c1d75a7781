// Fuzz target: the production payload decoder against the reference tree walk, on random count
// tables and random bits, at the bitCount cut-offs of a short payload (every one, as far as the
// work cap allows) and at the end and at chosen cut-offs of long payloads, read from memory or
// from a file, into a sink that may refuse, and long ones on two threads in short forced segments.
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
//            bytes, the file offset
//            of the payload in 2-byte units; with bit 4: 3 bytes, the cap; with bit 7: 1 byte,
//            the segments' length beyond the shortest allowed, in bytes
//   then     the entries (symbol, count); the rest is the payload, or the long payload's seed.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/format/code_tree.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/guard_pages.h"
#include "fuzz/loop_variants.h"
#include "fuzz/reference_decode.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using namespace ravmolt;

// Every cut-off costs a decode of up to the whole payload, so a short payload stays short; 1024
// bits still hold four of the longest (255-bit) codes.
constexpr std::size_t kMaxShortPayload = 128;
// Long payloads reach what short ones cannot: blocks of lanes (12 KiB and more), two threads,
// and flushes of the destination buffer in mid-run (past 64 KiB of payload). Refills of the file
// buffer come from the payload's offset in the file, which puts the buffer's end anywhere in the
// first 128 KiB of the payload.
constexpr std::size_t kMaxLongPayload = std::size_t{80} << 10;
// A long payload's length, from its 3 bytes: the top 4 bits choose a scale, and the lengths up
// to 512 bytes << (scale % 8) (kMaxLongPayload at the top scale) are equally likely. Every
// doubling of length is then about as likely as the next, and the walk of the reference, which
// costs most of a long input, averages about 9 KiB rather than 40.
std::size_t longLengthOf(std::uint32_t bytes) {
  const std::size_t scale = (bytes >> 20) % 8;
  const std::size_t range = scale == 7 ? kMaxLongPayload : std::size_t{512} << scale;
  return (bytes & 0xFFFFF) % range + 1;
}
// decodePayload gives payloads under 16 KiB the small root table and longer ones the full one.
// A short payload takes either (flag bit 6): the full one's fast loop ends there as it ends a long
// payload. The cut-offs of a long payload alternate between the two below that length, and take
// the full one above it.
constexpr std::uint64_t kSmallTableBits = 8 * (std::uint64_t{16} << 10);

// The work of one input is capped, so that the fuzzer gets through a thousand inputs a second or
// more. Each decode is counted in bits: the bits it decodes (four times over through the small
// root table, which takes one code at a time), and a fixed cost for what it sets up: the streams
// and the comparison, the file's first buffer read again as the header stage leaves it (and a
// fresh stream for every length of file), a second thread and its buffers. An input's cut-offs
// are taken in order of worth, the first one always, while their total stays within its budget:
// every cut-off of short payloads up to about 50 bytes, and the last ones and a spread of others
// beyond; the last few of long payloads, fewer the longer they are.
constexpr std::uint64_t kDecodeCost = 512;
constexpr std::uint64_t kSmallTableWeight = 4;
constexpr std::uint64_t kTwoThreadDecodeCost = std::uint64_t{1} << 18;
constexpr std::uint64_t kShortBudget = std::uint64_t{1} << 17;
constexpr std::uint64_t kLongBudget = std::uint64_t{1} << 19;
// Cut-offs in order of worth. A short payload: its last and first kEdgeCuts, then the others in
// an order drawn from the input. A long payload: its last
// kLongTailCuts in turn, which end at every bit of the last bytes, with kLongRandomCuts anywhere
// among them.
constexpr std::int32_t kEdgeCuts = 48;
constexpr std::int32_t kLongTailCuts = 16;
constexpr int kLongRandomCuts = 4;

// Reported at exit: each input runs many decodes, and the caches below decide much of its cost.
struct Counters {
  std::uint64_t inputs = 0;
  std::uint64_t longInputs = 0;
  std::uint64_t decodes = 0;
  std::uint64_t twoThreadDecodes = 0;
  std::uint64_t plansDeclined = 0;  // cut-offs too short for the two-thread segments asked for
  std::uint64_t treesBuilt = 0;
  std::uint64_t treesReused = 0;
  std::uint64_t fullTablesBuilt = 0;
} counters;

void report() {
  std::fprintf(stderr,
               "differential: %llu inputs (%llu long), %llu decodes compared with walkTree "
               "(%llu on two threads, %llu cut-offs too short for their segments), code trees "
               "%llu built and %llu reused, %llu full root tables built\n",
               static_cast<unsigned long long>(counters.inputs),
               static_cast<unsigned long long>(counters.longInputs),
               static_cast<unsigned long long>(counters.decodes),
               static_cast<unsigned long long>(counters.twoThreadDecodes),
               static_cast<unsigned long long>(counters.plansDeclined),
               static_cast<unsigned long long>(counters.treesBuilt),
               static_cast<unsigned long long>(counters.treesReused),
               static_cast<unsigned long long>(counters.fullTablesBuilt));
}

// Flag bits of the input (see the layout above).
constexpr std::uint8_t kWideCounts = 1;
constexpr std::uint8_t kExactPayload = 2;
constexpr std::uint8_t kLongPayload = 4;
constexpr std::uint8_t kFromFile = 8;
constexpr std::uint8_t kCapped = 16;
constexpr std::uint8_t kRepeat = 32;
constexpr std::uint8_t kShortFullTable = 64;
constexpr std::uint8_t kTwoThreads = 128;

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

  // Fields cut short by the end of the input read as zeros, and entries stop where a whole one
  // no longer fits.
  static Layout parse(const std::uint8_t* data, std::size_t size) {
    Layout layout;
    std::size_t at = 0;
    const auto take = [&](std::size_t bytes) {
      std::uint32_t value = 0;
      for (std::size_t i = 0; i < bytes && at < size; ++i)
        value |= std::uint32_t{data[at++]} << (8 * i);
      return value;
    };
    layout.entryCount = static_cast<std::uint8_t>(take(1));
    layout.flags = static_cast<std::uint8_t>(take(1));
    if (layout.has(kLongPayload)) layout.length = take(3);
    if (layout.has(kFromFile)) layout.offset = take(2);
    if (layout.has(kCapped)) layout.cap = take(3);
    if (layout.has(kTwoThreads)) layout.segment = take(1);
    const std::size_t entries = layout.entryCount == 0 ? kSymbolCount : layout.entryCount;
    const std::size_t whole = std::min(entries, (size - at) / layout.entrySize());
    layout.table.assign(data + at, data + at + whole * layout.entrySize());
    at += layout.table.size();
    layout.rest.assign(data + at, data + size);
    return layout;
  }

  // Writes the input back, at most `maxSize` bytes (the rest cut to fit), with the entry count
  // made to match the entries, so that what follows them is never read as one; 0 when even the
  // fields and entries do not fit.
  std::size_t write(std::uint8_t* out, std::size_t maxSize) {
    std::vector<std::uint8_t> bytes;
    const std::size_t entries = table.size() / entrySize();
    bytes.push_back(static_cast<std::uint8_t>(entries == kSymbolCount ? 0 : entries));
    bytes.push_back(flags);
    const auto put = [&bytes](std::uint32_t value, int count) {
      for (int i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    if (has(kLongPayload)) put(length, 3);
    if (has(kFromFile)) put(offset, 2);
    if (has(kCapped)) put(cap, 3);
    if (has(kTwoThreads)) put(segment, 1);
    bytes.insert(bytes.end(), table.begin(), table.end());
    if (entries == 0 || entries > kSymbolCount || bytes.size() > maxSize) return 0;
    bytes.insert(
        bytes.end(), rest.begin(),
        rest.begin() + static_cast<std::ptrdiff_t>(std::min(rest.size(), maxSize - bytes.size())));
    std::copy(bytes.begin(), bytes.end(), out);
    return bytes.size();
  }
};

// The code tree of a count table, its two root tables and each symbol's code length. Building
// the full root table costs as much as a few hundred short decodes, and consecutive inputs are
// mutations of one another that often keep their table, so the last few trees are kept, and each
// table is built when first used. Tables are a function of the counts alone: one built for an
// earlier input is the one this input would build.
struct CodedTree {
  FrequencyTable counts{};
  NodeArena arena;
  const TreeNode* root = nullptr;
  std::array<std::uint8_t, kSymbolCount> codeLength{};

  const DecodeTable& table(bool small) {
    const std::size_t which = small ? 1 : 0;
    if (!built[which]) {
      if (!small) ++counters.fullTablesBuilt;
      if (!tables[which].build(root, small ? DecodeTable::kSmallRootBits : DecodeTable::kTableBits))
        std::abort();
      built[which] = true;
    }
    return tables[which];
  }

  DecodeTable tables[2];  // the full root table and the small one
  bool built[2] = {false, false};
};

void noteCodeLengths(const TreeNode* node, unsigned depth, CodedTree& tree) {
  if (isLeaf(node)) {
    tree.codeLength[node->symbol] = static_cast<std::uint8_t>(depth);
    return;
  }
  noteCodeLengths(node->left, depth + 1, tree);
  noteCodeLengths(node->right, depth + 1, tree);
}

// Trees by a hash of their counts, one per slot: the corpus holds a few hundred tables, and
// most inputs are mutations that keep theirs.
class TreeCache {
 public:
  // The tree of `counts`, or null when no count is positive.
  CodedTree* treeFor(const FrequencyTable& counts) {
    std::unique_ptr<CodedTree>& slot = trees_[slotOf(counts)];
    if (slot && slot->counts == counts) {
      ++counters.treesReused;
      return slot->root != nullptr ? slot.get() : nullptr;
    }
    ++counters.treesBuilt;
    if (!slot) slot = std::make_unique<CodedTree>();
    CodedTree& tree = *slot;
    tree.counts = counts;
    tree.arena = NodeArena{};
    tree.root = buildTree(counts, tree.arena);
    if (tree.root == nullptr) return nullptr;
    tree.built[0] = tree.built[1] = false;
    noteCodeLengths(tree.root, 0, tree);
    return &tree;
  }

 private:
  static std::size_t slotOf(const FrequencyTable& counts) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (const std::int32_t count : counts)
      hash = (hash ^ static_cast<std::uint32_t>(count)) * 0x100000001B3ULL;
    return static_cast<std::size_t>(hash >> 56);
  }

  std::array<std::unique_ptr<CodedTree>, 256> trees_;
};

std::vector<std::uint8_t> longPayload(std::span<const std::uint8_t> seed, std::size_t length,
                                      bool repeat) {
  std::vector<std::uint8_t> payload(length);
  if (repeat && !seed.empty()) {
    for (std::size_t i = 0; i < length; ++i) payload[i] = seed[i % seed.size()];
    return payload;
  }
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (std::uint8_t byte : seed) state = (state ^ byte) * 0x100000001B3ULL;
  for (auto& byte : payload) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return payload;
}

// How the cut-offs of an input are decoded, and what each decode costs, in bits (see
// kDecodeCost).
struct DecodeCosts {
  bool longMode = false;
  bool twoThreads = false;
  bool shortFullTable = false;
  std::uint64_t fixed = kDecodeCost;

  bool smallTable(std::int32_t cut) const {
    if (twoThreads) return false;  // the segment decoders need the full root table
    if (!longMode) return !shortFullTable;
    return static_cast<std::uint64_t>(cut) < kSmallTableBits && cut % 2 == 1;
  }
  // Every set of decode loops this processor runs, in turn by pairs of cut-offs.
  static const testing::LoopVariant& loops(std::int32_t cut) {
    static const std::vector<testing::LoopVariant> variants = testing::loopVariantsHere();
    return variants[static_cast<std::size_t>(cut / 2) % variants.size()];
  }
  std::uint64_t of(std::int32_t cut) const {
    const auto bits = static_cast<std::uint64_t>(cut);
    return fixed + (smallTable(cut) ? kSmallTableWeight * bits : bits);
  }
};

// The cut-offs of one input in the order they are worth, within the input's work budget.
class CutChoice {
 public:
  CutChoice(std::int32_t totalBits, std::uint64_t budget, const DecodeCosts& costs)
      : taken_(static_cast<std::size_t>(totalBits) + 1), budget_(budget), costs_(costs) {}
  // Takes `cut` if it is new and within the budget (the first one always is); false once the
  // budget is spent.
  bool offer(std::int32_t cut) {
    if (cut < 1 || static_cast<std::size_t>(cut) >= taken_.size()) return true;
    if (taken_[static_cast<std::size_t>(cut)]) return true;
    const std::uint64_t cost = costs_.of(cut);
    if (!cuts_.empty() && spent_ + cost > budget_) return false;
    spent_ += cost;
    taken_[static_cast<std::size_t>(cut)] = true;
    cuts_.push_back(cut);
    return true;
  }
  // The cut-offs taken, longest first: a file cut short for one cut-off stays short for the next.
  std::vector<std::int32_t> longestFirst() {
    std::sort(cuts_.begin(), cuts_.end(), std::greater<>());
    return cuts_;
  }

 private:
  std::vector<bool> taken_;
  std::vector<std::int32_t> cuts_;
  std::uint64_t budget_;
  DecodeCosts costs_;
  std::uint64_t spent_ = 0;
};

// A stream of numbers drawn from the input, so that inputs that differ cut in different places.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : state_(seed) {}
  std::uint32_t below(std::uint32_t bound) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>((state_ >> 33) % bound);
  }

 private:
  std::uint64_t state_;
};

std::vector<std::int32_t> chooseCuts(std::int32_t totalBits, const DecodeCosts& costs,
                                     std::uint64_t seed) {
  Draw draw(seed);
  if (costs.longMode) {
    CutChoice choice(totalBits, kLongBudget, costs);
    const std::int32_t every = kLongTailCuts / kLongRandomCuts;
    for (std::int32_t k = 0; k < kLongTailCuts; ++k) {
      if (!choice.offer(totalBits - k)) break;
      const auto anywhere = draw.below(static_cast<std::uint32_t>(totalBits)) + 1;
      if ((k + 1) % every == 0 && !choice.offer(static_cast<std::int32_t>(anywhere))) break;
    }
    return choice.longestFirst();
  }
  CutChoice choice(totalBits, kShortBudget, costs);
  for (std::int32_t k = 0; k < kEdgeCuts; ++k) {
    if (!choice.offer(totalBits - k)) return choice.longestFirst();
  }
  for (std::int32_t cut = 1; cut <= kEdgeCuts; ++cut) {
    if (!choice.offer(cut)) return choice.longestFirst();
  }
  // The others in a shuffled order, so that the budget cuts off a different set for each input.
  std::vector<std::int32_t> others;
  for (std::int32_t cut = kEdgeCuts + 1; cut <= totalBits - kEdgeCuts; ++cut) others.push_back(cut);
  for (std::size_t i = others.size(); i > 1; --i) {
    std::swap(others[i - 1], others[draw.below(static_cast<std::uint32_t>(i))]);
  }
  for (const std::int32_t cut : others) {
    if (!choice.offer(cut)) break;
  }
  return choice.longestFirst();
}

// The payload as the decoder reads it: from memory, right before an inaccessible page, or from an
// anonymous file in which it starts at `offset`, with the stream's buffer loaded from the start
// of the file as the header stage leaves it, so that the buffer's refills fall at different places
// in the payload. The memory, the file and the stream over it are reused while the readable part
// stays the same; a stream's state after a decode is the one a fresh stream has once the header
// stage has read its first byte.
class PayloadSource {
 public:
  PayloadSource() : fd_(::memfd_create("payload", MFD_CLOEXEC)) {
    if (fd_ < 0) checks::fail("differential", "cannot make the payload file");
  }
  PayloadSource(const PayloadSource&) = delete;
  PayloadSource& operator=(const PayloadSource&) = delete;
  ~PayloadSource() { ::close(fd_); }

  // Starts an input: `payload` (which must outlive the next decodes) read from a file at
  // `offset`, or from memory.
  void load(std::span<const std::uint8_t> payload, bool fromFile, std::size_t offset) {
    payload_ = payload;
    fromFile_ = fromFile;
    offset_ = fromFile ? offset : 0;
    available_ = SIZE_MAX;
    stream_.reset();
    if (!fromFile) return;
    std::vector<std::uint8_t> file(offset_, 0);
    file.insert(file.end(), payload.begin(), payload.end());
    if (::ftruncate(fd_, 0) != 0 ||
        ::pwrite(fd_, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
      checks::fail("differential", "cannot write the payload file");
    }
  }

  // The payload's `cut` bits, of which its first `available` bytes are readable. The file is cut
  // to them, so calls must come with `available` never growing.
  Payload payload(std::size_t available, std::int32_t cut) {
    if (available != available_) {
      available_ = available;
      stream_.reset();
      if (fromFile_) {
        const std::uint64_t size = offset_ + available;
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
          checks::fail("differential", "ftruncate");
        }
        stream_.emplace(fd_, size);
      } else {
        if (!memory_ || memory_->capacity() < available) {
          memory_.emplace(std::max(available, kMaxShortPayload));
          if (!memory_->valid()) checks::fail("differential", "cannot map guarded memory");
        }
        stream_.emplace(memory_->copyEndingAtGuard(payload_.first(available)));
      }
    }
    if (fromFile_) {
      std::uint8_t first;
      stream_->seek(0);
      (void)stream_->readByte(first);
      stream_->seek(offset_);
    }
    return {*stream_, offset_, static_cast<std::uint64_t>(cut)};
  }
  void release() { stream_.reset(); }

 private:
  int fd_;
  std::optional<checks::GuardedRegion> memory_;
  std::span<const std::uint8_t> payload_;
  bool fromFile_ = false;
  std::size_t offset_ = 0;
  std::size_t available_ = SIZE_MAX;
  std::optional<SourceStream> stream_;
};

// libFuzzer's own mutation of `bytes`, which may grow them to `maxSize`.
void mutateBytes(std::vector<std::uint8_t>& bytes, std::size_t maxSize) {
  const std::size_t size = bytes.size();
  bytes.resize(std::max<std::size_t>(maxSize, 1));
  bytes.resize(LLVMFuzzerMutate(bytes.data(), size, bytes.size()));
}

// A new value for the field of `flag`: for the length any scale, for the file offset often one
// that puts the end of the stream's first buffer inside the payload.
std::uint32_t anyField(std::uint8_t flag, std::minstd_rand& random) {
  const auto value = static_cast<std::uint32_t>(random());
  switch (flag) {
    case kLongPayload:
      return value & 0xFFFFFF;
    case kFromFile:
      return value % 2 == 0
                 ? value & 0xFFFF
                 : static_cast<std::uint32_t>(SourceStream::kBufferSize / 2) - (value >> 1) % 512;
    case kCapped:
      return value % (std::uint32_t{1} << (value % 24 + 1));
    default:
      return value & 0xFF;
  }
}

std::uint32_t& fieldOf(Layout& layout, std::uint8_t flag) {
  switch (flag) {
    case kLongPayload:
      return layout.length;
    case kFromFile:
      return layout.offset;
    case kCapped:
      return layout.cap;
    default:
      return layout.segment;
  }
}

}  // namespace

// One mutation in ten is libFuzzer's own, blind to the layout; the others change one part of the
// input and keep the rest: the payload or its seed (four in ten), one flag with its field or one
// field's value (three in ten), or the table (two in ten). Inputs that keep their table keep its
// tree and lookup tables, and decode the same bits under other conditions.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  std::minstd_rand random(seed);
  const unsigned kind = random() % 10;
  if (kind == 0 || size < 2) return LLVMFuzzerMutate(data, size, maxSize);
  Layout layout = Layout::parse(data, size);
  constexpr std::uint8_t kFields[] = {kLongPayload, kFromFile, kCapped, kTwoThreads};
  if (kind <= 4) {
    mutateBytes(layout.rest, maxSize);
  } else if (kind <= 7) {
    const std::uint8_t field = kFields[random() % std::size(kFields)];
    if (kind == 5 || !layout.has(field)) {
      const auto flag = static_cast<std::uint8_t>(1U << (random() % 8));
      if (flag == kWideCounts) {  // the same entries with counts of the other width
        Layout other = layout;
        other.flags ^= kWideCounts;
        other.table.clear();
        for (std::size_t at = 0; at < layout.table.size(); at += layout.entrySize()) {
          other.table.push_back(layout.table[at]);      // the symbol
          other.table.push_back(layout.table[at + 1]);  // the count's lowest byte
          other.table.resize(other.table.size() + other.entrySize() - 2);
        }
        layout = other;
      } else {
        layout.flags ^= flag;
        if (layout.has(flag)) fieldOf(layout, flag) = anyField(flag, random);
      }
    } else {
      fieldOf(layout, field) = anyField(field, random);
    }
  } else {
    const std::size_t entrySize = layout.entrySize();
    auto& table = layout.table;
    const std::size_t entries = table.size() / entrySize;
    const auto at =
        static_cast<std::ptrdiff_t>(entrySize * (random() % std::max<std::size_t>(entries, 1)));
    switch (entries == 0 ? 0 : random() % 4) {
      case 0:  // a new entry
        if (entries < kSymbolCount) {
          std::vector<std::uint8_t> entry(entrySize);
          for (auto& byte : entry) byte = static_cast<std::uint8_t>(random());
          table.insert(table.begin() + (entries == 0 ? 0 : at), entry.begin(), entry.end());
        }
        break;
      case 1:  // one fewer
        if (entries > 1)
          table.erase(table.begin() + at,
                      table.begin() + at + static_cast<std::ptrdiff_t>(entrySize));
        break;
      default:  // libFuzzer's own mutation of the entries, cut back to whole ones
        mutateBytes(table, kSymbolCount * entrySize);
        table.resize(std::max(table.size() / entrySize, std::size_t{1}) * entrySize);
    }
  }
  const std::size_t written = layout.write(data, maxSize);
  return written != 0 ? written : LLVMFuzzerMutate(data, size, maxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool reporting = std::atexit(report) == 0;
  (void)reporting;
  if (size < 2) return 0;
  const Layout layout = Layout::parse(data, size);
  const bool exactPayload = layout.has(kExactPayload);
  const bool longMode = layout.has(kLongPayload);
  const bool fromFile = layout.has(kFromFile);
  const bool twoThreads = longMode && layout.has(kTwoThreads);
  std::size_t longLength = longMode ? longLengthOf(layout.length) : 0;
  const std::size_t fileOffset = std::size_t{2} * layout.offset;
  const std::size_t cap = layout.has(kCapped) ? layout.cap : SIZE_MAX;
  const std::uint64_t segmentBits = kMinimumSegmentBits + 8 * std::uint64_t{layout.segment};
  // Long enough for two segments at the last cut-offs, so that two threads always have some.
  if (twoThreads) longLength = std::max<std::size_t>(longLength, 2 * segmentBits / 8 + 8);

  FrequencyTable frequencies{};
  for (std::size_t at = 0; at < layout.table.size(); at += layout.entrySize()) {
    std::uint32_t count = 0;
    for (std::size_t i = layout.entrySize() - 1; i > 0; --i)
      count = count << 8 | layout.table[at + i];
    frequencies[layout.table[at]] = static_cast<std::int32_t>(count);
  }
  static TreeCache trees;
  CodedTree* const tree = trees.treeFor(frequencies);
  if (tree == nullptr) return 0;

  const std::span<const std::uint8_t> rest = layout.rest;
  const std::vector<std::uint8_t> payload =
      longMode ? longPayload(rest, longLength, layout.has(kRepeat))
               : std::vector<std::uint8_t>(
                     rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(
                                                      std::min(rest.size(), kMaxShortPayload)));
  const auto totalBits = static_cast<std::int32_t>(payload.size() * 8);
  if (totalBits == 0) return 0;
  ++counters.inputs;
  if (longMode) ++counters.longInputs;

  // The reference: walkTree over all the bits. The output of a cut-off is the codes that end by
  // it, counted back from where the last one ends with the code lengths of the tree.
  static checks::MemoryDestination referenceMemory;
  checks::walkPayload(tree->root, payload, static_cast<std::uint64_t>(totalBits), referenceMemory);
  const std::vector<std::uint8_t>& reference = referenceMemory.bytes();
  std::uint64_t lastEnd = 0;
  for (const std::uint8_t symbol : reference) lastEnd += tree->codeLength[symbol];
  // The bits after the last code are the start of one that does not end by then.
  if (lastEnd > static_cast<std::uint64_t>(totalBits) ||
      static_cast<std::uint64_t>(totalBits) - lastEnd >= 256) {
    checks::fail("differential", "reference walk disagrees with the code lengths");
  }

  std::uint64_t seed = payload.size() * 0x9E3779B97F4A7C15ULL + layout.flags;
  for (const std::uint8_t byte : rest.first(std::min<std::size_t>(rest.size(), 16)))
    seed = (seed ^ byte) * 0x100000001B3ULL;
  DecodeCosts costs;
  costs.longMode = longMode;
  costs.twoThreads = twoThreads;
  costs.shortFullTable = layout.has(kShortFullTable);
  if (twoThreads) costs.fixed += kTwoThreadDecodeCost;
  if (fromFile) {
    // The buffer read from the file's start before every decode, and with exact payloads a new
    // stream, with a fresh buffer, for each length of file.
    const std::uint64_t buffer =
        std::min<std::uint64_t>(fileOffset + payload.size(), SourceStream::kBufferSize);
    costs.fixed += buffer / 64 + (exactPayload ? buffer / 8 : 0);
  }
  const std::vector<std::int32_t> cuts = chooseCuts(totalBits, costs, seed);

  static PayloadSource source;
  source.load(payload, fromFile, fileOffset);
  static checks::MemoryDestination sink;
  static checks::MemoryDestination twoThreadSink;
  sink.setCap(cap);
  std::size_t twoThreadRuns = 0;
  std::size_t expected = reference.size();  // codes that end by the cut-off, longest first
  std::uint64_t expectedEnd = lastEnd;
  for (const std::int32_t cut : cuts) {
    while (expectedEnd > static_cast<std::uint64_t>(cut)) {
      expectedEnd -= tree->codeLength[reference[--expected]];
    }
    const auto announced = static_cast<std::size_t>(cut + 7) / 8;
    const std::size_t available = exactPayload ? announced : payload.size();
    const Payload bits = source.payload(available, cut);
    if (twoThreads) {
      const auto cutBits = static_cast<std::uint64_t>(cut);
      const SegmentPlan plan{segmentBits, static_cast<std::uint32_t>(cutBits / segmentBits)};
      if (!fitsPlan(plan, cutBits)) {
        ++counters.plansDeclined;
        continue;
      }
      DestinationStream& destination = twoThreadSink.start();
      std::optional<DecodeStatus> status =
          decodeOnTwoThreads(tree->table(false), bits, destination, plan);
      if (status == DecodeStatus::success && !destination.flush())
        status = DecodeStatus::writeFailed;
      ++counters.decodes;
      ++counters.twoThreadDecodes;
      ++twoThreadRuns;
      const std::vector<std::uint8_t>& written = twoThreadSink.bytes();
      if (status != DecodeStatus::success || written.size() != expected ||
          !std::equal(written.begin(), written.end(), reference.begin())) {
        checks::fail("differential", "the two-thread decoder differs from walkTree");
      }
      continue;
    }
    DestinationStream& destination = sink.start();
    const testing::ForcedLoops forced(DecodeCosts::loops(cut));
    DecodeStatus status = decodeOnOneThread(tree->table(costs.smallTable(cut)), bits, destination);
    if (status == DecodeStatus::success && !destination.flush()) status = DecodeStatus::writeFailed;

    ++counters.decodes;
    const std::vector<std::uint8_t>& output = sink.bytes();
    if (!std::equal(
            output.begin(), output.end(), reference.begin(),
            reference.begin() + static_cast<std::ptrdiff_t>(std::min(output.size(), expected))) ||
        output.size() > expected) {
      checks::fail("differential", "the one-thread decoder differs from walkTree");
    }
    if (expected > cap) {
      if (status != DecodeStatus::writeFailed)
        checks::fail("differential", "refused write not reported");
    } else if (status != DecodeStatus::success || output.size() != expected) {
      checks::fail("differential", "the one-thread decoder failed or stopped short");
    }
  }
  if (twoThreads && twoThreadRuns == 0) {
    checks::fail("differential", "no cut-off could be decoded on two threads");
  }
  // Whatever an input allocates it frees: libFuzzer looks for leaks in any run that does not.
  source.release();
  return 0;
}
