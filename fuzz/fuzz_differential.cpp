// Fuzz target: the production payload decoder against the reference tree walk, on random count
// tables and random bits, at every bitCount cut-off of a short payload, and at the end and at
// chosen cut-offs of long payloads, read from memory or from a file, into a sink that may refuse.
//
// Input layout:
//   byte 0   the number of table entries
//   byte 1   flags: bit 0 four-byte counts (else one-byte counts); bit 1 each cut-off gets exactly
//            the bytes it announces (else the whole payload follows); bit 2 long payload; bit 3
//            read from a file (else from memory); bit 4 the sink refuses bytes past a cap; bit 5
//            a long payload repeats the given bytes (else it is generated from them); bit 6 a
//            short payload is cut at a sample of cut-offs (else at every one); bit 7 with bit 2,
//            the long payload is decoded on two threads in segments forced short, and made long
//            enough for two of them (the sink's cap does not apply)
//   then     with bit 2: 3 bytes, the long payload's length; with bit 3: 2 bytes, the file offset
//            of the payload in 2-byte units; with bit 4: 3 bytes, the cap; with bit 7: 1 byte,
//            the segments' length beyond the shortest allowed, in bytes
//   then     the entries (symbol, count); the rest is the payload, or the long payload's seed.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/decompressor.h"
#include "engine/drivers/stream_driver.h"
#include "engine/drivers/two_thread_driver.h"
#include "engine/format/code_tree.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reference_decode.h"

namespace {

using namespace ravmolt;

// Every cut-off costs a decode of up to the whole payload, so a short payload stays short; 1024
// bits still hold four of the longest (255-bit) codes.
constexpr std::size_t kMaxShortPayload = 128;
// Long payloads reach what short ones cannot: decoding in large blocks and flushes of the
// destination buffer in mid-run. Refills of the file buffer come from the payload's offset in
// the file, which puts the buffer's end anywhere in the first 128 KiB of the payload.
constexpr std::size_t kMaxLongPayload = std::size_t{80} << 10;
// Cut-offs of a long payload: every one among its last bits, and a few anywhere. Each decode
// builds its lookup tables anew, so a sample of a short payload's cut-offs runs several times
// faster than all of them; the fuzzer gets both.
constexpr std::int32_t kLongTailCuts = 16;
constexpr int kLongRandomCuts = 4;
constexpr std::int32_t kSampleEdgeCuts = 48;
constexpr int kSampleRandomCuts = 16;

// Decodes compared in this process, and cut-offs too short for the two-thread segments an input
// asked for, reported at exit: each input runs many.
std::uint64_t decodesCompared = 0;
std::uint64_t plansDeclined = 0;

void reportDecodes() {
  std::fprintf(stderr,
               "differential: %llu decodes compared with walkTree, %llu two-thread cut-offs "
               "too short for their segments\n",
               static_cast<unsigned long long>(decodesCompared),
               static_cast<unsigned long long>(plansDeclined));
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t take(std::size_t bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes && at_ < size_; ++i)
      value |= std::uint32_t{data_[at_++]} << (8 * i);
    return value;
  }
  std::size_t left() const { return size_ - at_; }
  std::span<const std::uint8_t> rest() const { return {data_ + at_, size_ - at_}; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Output bytes produced after each number of bits: entry c counts the leaves reached in the first
// c bits, so the reference output cut at c bits is the first lengths[c] bytes of the full one.
std::vector<std::uint32_t> leavesReached(const TreeNode* root,
                                         std::span<const std::uint8_t> payload) {
  std::vector<std::uint32_t> lengths{0};
  lengths.reserve(payload.size() * 8 + 1);
  const TreeNode* node = root;
  std::uint32_t count = 0;
  for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
    node = ((payload[bit / 8] >> (7 - bit % 8)) & 1U) != 0 ? node->right : node->left;
    if (isLeaf(node)) {
      ++count;
      node = root;
    }
    lengths.push_back(count);
  }
  return lengths;
}

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

// The payload as the decoder reads it: from memory, or from an anonymous file in which it starts
// at `offset`, with the stream's buffer loaded from the start of the file as the header stage
// leaves it, so that the buffer's refills fall at different places in the payload.
class PayloadSource {
 public:
  PayloadSource(bool fromFile, std::size_t offset) : offset_(offset) {
    if (fromFile) fd_ = ::memfd_create("payload", MFD_CLOEXEC);
  }
  PayloadSource(const PayloadSource&) = delete;
  PayloadSource& operator=(const PayloadSource&) = delete;
  ~PayloadSource() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool fromFile() const { return fd_ >= 0; }

  void load(std::span<const std::uint8_t> payload) {
    if (fd_ < 0) return;
    std::vector<std::uint8_t> file(offset_, 0);
    file.insert(file.end(), payload.begin(), payload.end());
    if (::ftruncate(fd_, 0) != 0 ||
        ::pwrite(fd_, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
      checks::fail("differential", "cannot write the payload file");
    }
  }

  // Decodes `cut` bits of the payload, of which the first `available` bytes are readable, on one
  // thread. The file is cut to them, so calls must come with `available` never growing.
  DecodeStatus decode(const DecodeTable& table, std::span<const std::uint8_t> payload,
                      std::size_t available, std::int32_t cut, DestinationStream& destination) {
    return decodeWith(payload, available, [&](SourceStream& source) {
      return decodeOnOneThread(table, payloadIn(source, cut), destination);
    });
  }

  // The same on two threads in segments of `segmentBits`, into `output`; nothing when the plan
  // does not fit the cut-off.
  std::optional<DecodeStatus> decodeOnTwoThreads(const DecodeTable& table,
                                                 std::span<const std::uint8_t> payload,
                                                 std::size_t available, std::int32_t cut,
                                                 std::uint64_t segmentBits,
                                                 std::vector<std::uint8_t>& output) {
    const auto bits = static_cast<std::uint64_t>(cut);
    const SegmentPlan plan{segmentBits, static_cast<std::uint32_t>(bits / segmentBits)};
    if (!fitsPlan(plan, bits)) return std::nullopt;
    checks::MemorySink sink;
    std::optional<DecodeStatus> status;
    decodeWith(payload, available, [&](SourceStream& source) {
      DestinationStream destination(&checks::MemorySink::take, &sink);
      status = ravmolt::decodeOnTwoThreads(table, payloadIn(source, cut), destination, plan);
      if (status == DecodeStatus::success && !destination.flush()) {
        status = DecodeStatus::writeFailed;
      }
      return DecodeStatus::success;
    });
    output = std::move(sink.bytes);
    return status;
  }

 private:
  Payload payloadIn(SourceStream& source, std::int32_t cut) const {
    return {source, fd_ < 0 ? 0 : offset_, static_cast<std::uint64_t>(cut)};
  }

  // Runs `decode` on a source stream over the first `available` bytes of `payload`.
  template <typename Decode>
  DecodeStatus decodeWith(std::span<const std::uint8_t> payload, std::size_t available,
                          Decode decode) {
    if (fd_ < 0) {
      // A fresh heap copy ending exactly at the last readable byte, so that reading one byte too
      // far is caught by the address sanitizer.
      const std::vector<std::uint8_t> bytes(
          payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(available));
      SourceStream source(bytes);
      return decode(source);
    }
    const std::uint64_t size = offset_ + available;
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) checks::fail("differential", "ftruncate");
    SourceStream source(fd_, size);
    std::uint8_t first;
    source.seek(0);
    (void)source.readByte(first);
    source.seek(offset_);
    return decode(source);
  }

  int fd_ = -1;
  std::size_t offset_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool reporting = std::atexit(reportDecodes) == 0;
  (void)reporting;
  if (size < 2) return 0;
  Input input(data, size);
  const std::size_t entries = input.take(1);
  const std::uint32_t flags = input.take(1);
  const bool wideCounts = (flags & 1U) != 0;
  const bool exactPayload = (flags & 2U) != 0;
  const bool longMode = (flags & 4U) != 0;
  const bool fromFile = (flags & 8U) != 0;
  const bool capped = (flags & 16U) != 0;
  const bool repeat = (flags & 32U) != 0;
  const bool sampled = (flags & 64U) != 0;
  std::size_t longLength = longMode ? input.take(3) % kMaxLongPayload + 1 : 0;
  const std::size_t fileOffset = fromFile ? std::size_t{2} * input.take(2) : 0;
  const std::size_t cap = capped ? input.take(3) : SIZE_MAX;
  const bool twoThreads = (flags & 128U) != 0 && longMode;
  const std::uint64_t segmentBits =
      (flags & 128U) != 0 ? kMinimumSegmentBits + 8 * std::uint64_t{input.take(1)} : 0;
  // Long enough for two segments at the last cut-offs, so that two threads always have some.
  if (twoThreads) longLength = std::max<std::size_t>(longLength, 2 * segmentBits / 8 + 8);

  FrequencyTable frequencies{};
  const std::size_t entrySize = wideCounts ? 5 : 2;
  for (std::size_t i = 0; i < entries && input.left() >= entrySize; ++i) {
    const std::uint32_t symbol = input.take(1);
    frequencies[symbol] = wideCounts ? static_cast<std::int32_t>(input.take(4))
                                     : static_cast<std::int32_t>(input.take(1));
  }
  NodeArena arena;
  const TreeNode* root = buildTree(frequencies, arena);
  if (root == nullptr) return 0;
  // Cut-offs alternate between the full root table and the small one that short payloads get.
  DecodeTable tables[2];
  tables[0].build(root, DecodeTable::kTableBits);
  tables[1].build(root, DecodeTable::kSmallRootBits);

  const std::span<const std::uint8_t> rest = input.rest();
  const std::vector<std::uint8_t> payload =
      longMode ? longPayload(rest, longLength, repeat)
               : std::vector<std::uint8_t>(
                     rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(
                                                      std::min(rest.size(), kMaxShortPayload)));
  const auto totalBits = static_cast<std::int32_t>(payload.size() * 8);
  if (totalBits == 0) return 0;

  // The reference: walkTree over all the bits, and where each cut-off ends in its output.
  static checks::MemoryDestination referenceMemory;
  checks::walkPayload(root, payload, static_cast<std::uint64_t>(totalBits), referenceMemory);
  const std::vector<std::uint8_t>& reference = referenceMemory.bytes();
  const std::vector<std::uint32_t> lengths = leavesReached(root, payload);
  if (lengths.back() != reference.size()) checks::fail("differential", "reference walk disagrees");

  // Every cut-off of a short payload, or its first and last ones and a few between; the last ones
  // and a few of a long payload.
  std::vector<std::int32_t> cuts;
  const bool everyCut = !longMode && !sampled;
  const std::int32_t edge = longMode ? kLongTailCuts : kSampleEdgeCuts;
  for (std::int32_t cut = 1; cut <= totalBits; ++cut) {
    if (everyCut || cut > totalBits - edge || (!longMode && cut <= edge)) cuts.push_back(cut);
  }
  if (!everyCut) {
    std::uint64_t state = payload.size() * 0x9E3779B97F4A7C15ULL + flags;
    for (int i = 0; i < (longMode ? kLongRandomCuts : kSampleRandomCuts); ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      cuts.push_back(
          static_cast<std::int32_t>((state >> 33) % static_cast<std::uint64_t>(totalBits)) + 1);
    }
  }

  // Longest first: a file cut short for one cut-off stays short for the next.
  std::sort(cuts.begin(), cuts.end(), std::greater<>());
  PayloadSource source(fromFile, fileOffset);
  source.load(payload);
  static checks::MemoryDestination sink;
  sink.setCap(cap);
  std::vector<std::uint8_t> written;
  std::size_t twoThreadDecodes = 0;
  for (const std::int32_t cut : cuts) {
    const std::size_t expected = lengths[static_cast<std::size_t>(cut)];
    const auto announced = static_cast<std::size_t>(cut + 7) / 8;
    const std::size_t available = exactPayload ? announced : payload.size();
    if (twoThreads) {
      const auto status =
          source.decodeOnTwoThreads(tables[0], payload, available, cut, segmentBits, written);
      if (!status) {  // segments do not fit this cut-off
        ++plansDeclined;
        continue;
      }
      ++decodesCompared;
      ++twoThreadDecodes;
      if (*status != DecodeStatus::success || written.size() != expected ||
          !std::equal(written.begin(), written.end(), reference.begin())) {
        checks::fail("differential", "the two-thread decoder differs from walkTree");
      }
      continue;
    }
    DestinationStream& destination = sink.start();
    DecodeStatus status = source.decode(tables[cut % 2], payload, available, cut, destination);
    if (status == DecodeStatus::success && !destination.flush()) status = DecodeStatus::writeFailed;

    ++decodesCompared;
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
  if (twoThreads && twoThreadDecodes == 0) {
    checks::fail("differential", "no cut-off could be decoded on two threads");
  }
  return 0;
}
