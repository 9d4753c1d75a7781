#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "engine/drivers/segment_plan.h"
#include "fuzz/fuzz_check.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace ravmolt::checks {

Counters counters;

namespace {

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
// an order drawn from the input. A long payload: its last kLongTailCuts in turn, which end at
// every bit of the last bytes, with kLongRandomCuts anywhere among them.
constexpr std::int32_t kEdgeCuts = 48;
constexpr std::int32_t kLongTailCuts = 16;
constexpr int kLongRandomCuts = 4;

// --- Inputs and their mutation ------------------------------------------------------------------

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

// One flag with its field, or one field's value; a change of count width keeps the entries with
// counts of the other width.
void mutateField(Layout& layout, bool anyFlag, std::minstd_rand& random) {
  constexpr std::uint8_t kFields[] = {kLongPayload, kFromFile, kCapped, kTwoThreads};
  const std::uint8_t field = kFields[random() % std::size(kFields)];
  if (!anyFlag && layout.has(field)) {
    fieldOf(layout, field) = anyField(field, random);
    return;
  }
  const auto flag = static_cast<std::uint8_t>(1U << (random() % 8));
  if (flag != kWideCounts) {
    layout.flags ^= flag;
    if (layout.has(flag)) fieldOf(layout, flag) = anyField(flag, random);
    return;
  }
  Layout other = layout;
  other.flags ^= kWideCounts;
  other.table.clear();
  for (std::size_t at = 0; at < layout.table.size(); at += layout.entrySize()) {
    other.table.push_back(layout.table[at]);      // the symbol
    other.table.push_back(layout.table[at + 1]);  // the count's lowest byte
    other.table.resize(other.table.size() + other.entrySize() - 2);
  }
  layout = other;
}

// A new entry, one fewer, or libFuzzer's own mutation of the entries, cut back to whole ones.
void mutateTable(Layout& layout, std::minstd_rand& random) {
  const std::size_t entrySize = layout.entrySize();
  auto& table = layout.table;
  const std::size_t entries = table.size() / entrySize;
  const auto at =
      static_cast<std::ptrdiff_t>(entrySize * (random() % std::max<std::size_t>(entries, 1)));
  switch (entries == 0 ? 0 : random() % 4) {
    case 0:
      if (entries < kSymbolCount) {
        std::vector<std::uint8_t> entry(entrySize);
        for (auto& byte : entry) byte = static_cast<std::uint8_t>(random());
        table.insert(table.begin() + (entries == 0 ? 0 : at), entry.begin(), entry.end());
      }
      break;
    case 1:
      if (entries > 1)
        table.erase(table.begin() + at,
                    table.begin() + at + static_cast<std::ptrdiff_t>(entrySize));
      break;
    default:
      mutateBytes(table, kSymbolCount * entrySize);
      table.resize(std::max(table.size() / entrySize, std::size_t{1}) * entrySize);
  }
}

// --- Payloads and cut-offs ----------------------------------------------------------------------

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

// The cut-offs of one input in the order they are worth, within the input's work budget, each
// costing a fixed part and its bits (see kDecodeCost).
class CutChoice {
 public:
  CutChoice(const InputPlan& plan, std::uint64_t budget, std::uint64_t fixed)
      : plan_(plan), taken_(plan.payload.size() * 8 + 1), budget_(budget), fixed_(fixed) {}
  // Takes `cut` if it is new and within the budget (the first one always is); false once the
  // budget is spent.
  bool offer(std::int32_t cut) {
    if (cut < 1 || static_cast<std::size_t>(cut) >= taken_.size()) return true;
    if (taken_[static_cast<std::size_t>(cut)]) return true;
    const auto bits = static_cast<std::uint64_t>(cut);
    const std::uint64_t cost = fixed_ + (plan_.smallTable(cut) ? kSmallTableWeight * bits : bits);
    if (!cuts_.empty() && spent_ + cost > budget_) return false;
    spent_ += cost;
    taken_[static_cast<std::size_t>(cut)] = true;
    cuts_.push_back(cut);
    return true;
  }
  std::vector<std::int32_t> longestFirst() {
    std::sort(cuts_.begin(), cuts_.end(), std::greater<>());
    return cuts_;
  }

 private:
  const InputPlan& plan_;
  std::vector<bool> taken_;
  std::vector<std::int32_t> cuts_;
  std::uint64_t budget_;
  std::uint64_t fixed_;
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

std::vector<std::int32_t> chooseCuts(const InputPlan& plan, std::uint64_t fixed,
                                     std::uint64_t seed) {
  const auto totalBits = static_cast<std::int32_t>(plan.payload.size() * 8);
  Draw draw(seed);
  if (plan.longMode) {
    CutChoice choice(plan, kLongBudget, fixed);
    const std::int32_t every = kLongTailCuts / kLongRandomCuts;
    for (std::int32_t k = 0; k < kLongTailCuts; ++k) {
      if (!choice.offer(totalBits - k)) break;
      const auto anywhere = draw.below(static_cast<std::uint32_t>(totalBits)) + 1;
      if ((k + 1) % every == 0 && !choice.offer(static_cast<std::int32_t>(anywhere))) break;
    }
    return choice.longestFirst();
  }
  CutChoice choice(plan, kShortBudget, fixed);
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

}  // namespace

void reportAtExit() {
  static const bool reporting = std::atexit(report) == 0;
  (void)reporting;
}

// --- Layout -------------------------------------------------------------------------------------

FrequencyTable Layout::counts() const {
  FrequencyTable frequencies{};
  for (std::size_t at = 0; at < table.size(); at += entrySize()) {
    std::uint32_t count = 0;
    for (std::size_t i = entrySize() - 1; i > 0; --i) count = count << 8 | table[at + i];
    frequencies[table[at]] = static_cast<std::int32_t>(count);
  }
  return frequencies;
}

Layout Layout::parse(const std::uint8_t* data, std::size_t size) {
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

std::size_t Layout::write(std::uint8_t* out, std::size_t maxSize) const {
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

// Of the others: the payload or its seed four in ten, one flag or field three in ten, the table
// two in ten. Inputs that keep their table keep its tree and lookup tables, and decode the same
// bits under other conditions.
std::size_t mutateInput(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                        unsigned int seed) {
  std::minstd_rand random(seed);
  const unsigned kind = random() % 10;
  if (kind == 0 || size < 2) return LLVMFuzzerMutate(data, size, maxSize);
  Layout layout = Layout::parse(data, size);
  if (kind <= 4) {
    mutateBytes(layout.rest, maxSize);
  } else if (kind <= 7) {
    mutateField(layout, kind == 5, random);
  } else {
    mutateTable(layout, random);
  }
  const std::size_t written = layout.write(data, maxSize);
  return written != 0 ? written : LLVMFuzzerMutate(data, size, maxSize);
}

// --- Trees --------------------------------------------------------------------------------------

const DecodeTable& CodedTree::table(bool small) {
  const std::size_t which = small ? 1 : 0;
  if (!built[which]) {
    if (!small) ++counters.fullTablesBuilt;
    if (!tables[which].build(root, small ? DecodeTable::kSmallRootBits : DecodeTable::kTableBits))
      std::abort();
    built[which] = true;
  }
  return tables[which];
}

CodedTree* TreeCache::treeFor(const FrequencyTable& counts) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (const std::int32_t count : counts)
    hash = (hash ^ static_cast<std::uint32_t>(count)) * 0x100000001B3ULL;
  std::unique_ptr<CodedTree>& slot = trees_[static_cast<std::size_t>(hash >> 56)];
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
  tree.built[0] = tree.built[1] = false;
  return tree.root != nullptr ? &tree : nullptr;
}

// --- Plans
// ----------------------------------------------------------------------------------------

bool InputPlan::smallTable(std::int32_t cut) const {
  if (twoThreads) return false;  // the segment decoders need the full root table
  if (!longMode) return !shortFullTable;
  return static_cast<std::uint64_t>(cut) < kSmallTableBits && cut % 2 == 1;
}

const testing::LoopVariant& InputPlan::loops(std::int32_t cut) {
  static const std::vector<testing::LoopVariant> variants = testing::loopVariantsHere();
  return variants[static_cast<std::size_t>(cut / 2) % variants.size()];
}

InputPlan planInput(const Layout& layout) {
  InputPlan plan;
  plan.longMode = layout.has(kLongPayload);
  plan.twoThreads = plan.longMode && layout.has(kTwoThreads);
  plan.shortFullTable = layout.has(kShortFullTable);
  plan.fileOffset = layout.has(kFromFile) ? std::size_t{2} * layout.offset : 0;
  plan.cap = layout.has(kCapped) ? layout.cap : SIZE_MAX;
  plan.segmentBits = kMinimumSegmentBits + 8 * std::uint64_t{layout.segment};
  const std::span<const std::uint8_t> rest = layout.rest;
  if (plan.longMode) {
    std::size_t length = longLengthOf(layout.length);
    // Long enough for two segments at the last cut-offs, so that two threads always have some.
    if (plan.twoThreads) length = std::max<std::size_t>(length, 2 * plan.segmentBits / 8 + 8);
    plan.payload = longPayload(rest, length, layout.has(kRepeat));
  } else {
    plan.payload.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(
                                                         std::min(rest.size(), kMaxShortPayload)));
  }
  if (plan.payload.empty()) return plan;

  std::uint64_t fixed = kDecodeCost + (plan.twoThreads ? kTwoThreadDecodeCost : 0);
  if (layout.has(kFromFile)) {
    // The buffer read from the file's start before every decode, and with exact payloads a new
    // stream, with a fresh buffer, for each length of file.
    const std::uint64_t buffer =
        std::min<std::uint64_t>(plan.fileOffset + plan.payload.size(), SourceStream::kBufferSize);
    fixed += buffer / 64 + (layout.has(kExactPayload) ? buffer / 8 : 0);
  }
  std::uint64_t seed = plan.payload.size() * 0x9E3779B97F4A7C15ULL + layout.flags;
  for (const std::uint8_t byte : rest.first(std::min<std::size_t>(rest.size(), 16)))
    seed = (seed ^ byte) * 0x100000001B3ULL;
  plan.cuts = chooseCuts(plan, fixed, seed);
  return plan;
}

// --- Sources
// --------------------------------------------------------------------------------------

PayloadSource::PayloadSource() : fd_(::memfd_create("payload", MFD_CLOEXEC)) {
  if (fd_ < 0) fail("differential", "cannot make the payload file");
}

PayloadSource::~PayloadSource() { ::close(fd_); }

void PayloadSource::load(std::span<const std::uint8_t> payload, bool fromFile, std::size_t offset) {
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
    fail("differential", "cannot write the payload file");
  }
}

Payload PayloadSource::payload(std::size_t available, std::int32_t cut) {
  if (available != available_) {
    available_ = available;
    stream_.reset();
    if (fromFile_) {
      const std::uint64_t size = offset_ + available;
      if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) fail("differential", "ftruncate");
      stream_.emplace(fd_, size);
    } else {
      if (!memory_ || memory_->capacity() < available) {
        memory_.emplace(std::max(available, kMaxShortPayload));
        if (!memory_->valid()) fail("differential", "cannot map guarded memory");
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

}  // namespace ravmolt::checks
