// The fast payload decoder. Bits are looked up kTableBits at a time in tables built from the tree
// (several codes per lookup), from word-sized windows over the source's buffer, and symbols are
// stored straight into the destination's buffer. A fast loop runs while both buffers have a safe
// margin, checked once per step; most of the payload goes through blocks of two interleaved lanes
// (see decodeTwoLanes), and the last bytes are walked bit by bit, so exactly bitCount bits are
// taken and nothing past the payload is ever read. Flat 8-bit codes are a byte translation.
// Large payloads read from a file go through segments shared with a worker thread (see
// SegmentWorker), whose guessed start is proven the same way as the second lane's.
#include "engine/payload_decoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/bit_window.h"
#include "engine/decode_table.h"

namespace ravmolt {
namespace {

using Table = DecodeTable;

// Lookups per window: each takes at most kTableBits bits of the >= 57 that a window holds.
constexpr int kLookupsPerWindow = 57 / Table::kTableBits;
static_assert(kLookupsPerWindow >= 1);

// A fast step consumes at most one window's lookups (under 8 bytes) and one long code with the
// codes that end its last lookup (255 + kTableBits bits, under 34 bytes), and every lookup loads
// 8 bytes. Starting kInputMargin bytes before the end of the payload, it neither reads past the
// end nor takes a bit of the last byte, the only one that may hold padding beyond bitCount.
constexpr std::size_t kLongestCodeBits = 255;
constexpr std::size_t kStepConsumedBytes =
    (7 + kLookupsPerWindow * Table::kTableBits + kLongestCodeBits + Table::kTableBits) / 8 + 1;
constexpr std::size_t kInputMargin = 80;
static_assert(kInputMargin >= kStepConsumedBytes + 8 + 1);

// A fast step writes at most kLookupsPerWindow stores of eight bytes, plus one for a long code.
constexpr std::size_t kOutputMargin = 8 * (kLookupsPerWindow + 2);
static_assert(kOutputMargin <= DestinationStream::kBufferSize / 2);

inline void storeSymbols(std::uint8_t* out, DecodeEntry entry) {
  const std::uint64_t symbols = entry >> Table::kSymbolShift;
  std::memcpy(out, &symbols, sizeof symbols);
}

// Finishes a code longer than kTableBits, starting again at the root table on its first bits,
// through the chain of tables its inner nodes start, to the entry where it ends.
[[gnu::noinline]] void decodeLongCode(const Table& table, const std::uint8_t*& in, unsigned& bit,
                                      std::uint8_t*& out) {
  std::size_t current = 0;
  for (;;) {
    const DecodeEntry entry = table.table(current)[peekBits(windowAt(in, bit), Table::kTableBits)];
    skipBits(in, bit, Table::bitsOf(entry));
    const unsigned count = Table::symbolCountOf(entry);
    if (count != 0) {
      storeSymbols(out, entry);
      out += count;
      return;
    }
    current = Table::nextTableOf(entry);
  }
}

// A decoding position on a code boundary, with where its symbols go.
struct Lane {
  const std::uint8_t* in;
  unsigned bit;
  std::uint8_t* out;
};

// One window's worth of lookups, then the rest of a long code if one starts. Needs
// kInputMargin bytes of input and kOutputMargin bytes of room.
[[gnu::always_inline]] inline void decodeWindow(const Table& table, const DecodeEntry* root,
                                                Lane& lane) {
  std::uint64_t window = windowAt(lane.in, lane.bit);
  unsigned used = lane.bit;
  std::uint8_t* out = lane.out;
  int step = 0;
  for (; step < kLookupsPerWindow; ++step) {
    const DecodeEntry entry = root[peekBits(window, Table::kTableBits)];
    if (Table::symbolCountOf(entry) == 0) break;
    storeSymbols(out, entry);
    out += Table::symbolCountOf(entry);
    window <<= (entry & 63);
    used += Table::bitsOf(entry);
  }
  lane.in += used >> 3;
  lane.bit = used & 7;
  lane.out = out;
  if (step < kLookupsPerWindow) [[unlikely]]
    decodeLongCode(table, lane.in, lane.bit, lane.out);
}

// Decodes while at least kInputMargin bytes remain before `inEnd` and kOutputMargin bytes of
// room before `outEnd`. Starts and stops on code boundaries.
void fastLoop(const Table& table, Lane& lane, const std::uint8_t* inEnd,
              const std::uint8_t* outEnd) {
  if (inEnd - lane.in < static_cast<std::ptrdiff_t>(kInputMargin)) return;
  const DecodeEntry* const root = table.table(0);
  const std::uint8_t* const inLast = inEnd - kInputMargin;
  const std::uint8_t* const outLast = outEnd - kOutputMargin;
  Lane local = lane;
  while (local.in <= inLast && local.out <= outLast) decodeWindow(table, root, local);
  lane = local;
}

// Two lanes. Huffman codes resynchronise: a decoder started at a guessed bit position usually
// falls onto the true code boundaries within a few tens of bits. So a block of 2 * kLaneBytes is
// decoded as two independent dependency chains, interleaved for the processor to overlap: lane A
// from the true position, lane B from the middle of the block into a side buffer. B notes its
// first kRecords entry boundaries; A, having reached the middle, walks on code by code until it
// stands on one of them, which proves B right from there on. If none matches (some codes never
// resynchronise, e.g. when every code is 3 bits long), B's work is dropped and A carries on.
constexpr std::size_t kLaneBytes = std::size_t{16} << 10;
constexpr std::size_t kRecords = 48;
// Every code takes at least one bit, so a lane writes at most one byte per bit it consumes.
constexpr std::size_t kSideBytes = 8 * (kLaneBytes + kInputMargin) + kOutputMargin;
constexpr std::size_t kBlockOutputBytes =
    8 * (kLaneBytes + kInputMargin) + kRecords * (kLongestCodeBits + Table::kTableBits);
static_assert(kBlockOutputBytes <= DestinationStream::kBufferSize);
// Input a block needs buffered from its start: both lanes plus the margin of B's last window.
constexpr std::size_t kBlockInputBytes = 2 * kLaneBytes + kInputMargin;
// Blocks that fail to resynchronise this many times more often than they succeed end the use of
// lanes for the run.
constexpr int kFailureAllowance = 8;

struct BlockResult {
  Lane next;                      // where decoding goes on; next.out is the end of A's output
  const std::uint8_t* sideBegin;  // B's proven output, to follow A's
  const std::uint8_t* sideEnd;
  bool synchronised;
};

// Decodes one entry (or one long code) and notes nothing else.
inline void decodeOneEntry(const Table& table, const DecodeEntry* root, Lane& lane) {
  const DecodeEntry entry = root[peekBits(windowAt(lane.in, lane.bit), Table::kTableBits)];
  if (Table::symbolCountOf(entry) == 0) {
    decodeLongCode(table, lane.in, lane.bit, lane.out);
    return;
  }
  storeSymbols(lane.out, entry);
  lane.out += Table::symbolCountOf(entry);
  skipBits(lane.in, lane.bit, Table::bitsOf(entry));
}

// `start` is on a true code boundary with kBlockInputBytes of input from it; `out` has
// kBlockOutputBytes of room and `side` kSideBytes.
BlockResult decodeTwoLanes(const Table& table, const TreeNode* root, Lane start,
                           std::uint8_t* side) {
  const DecodeEntry* const rootTable = table.table(0);
  const std::uint8_t* const middle = start.in + kLaneBytes;
  const std::uint8_t* const end = middle + kLaneBytes;
  Lane a = start;
  Lane b{middle, 0, side};

  std::array<std::int64_t, kRecords> recordBit;  // B's entry boundaries, bits from `middle`
  std::array<std::size_t, kRecords> recordOut;   // B's output before each
  for (std::size_t r = 0; r < kRecords; ++r) {
    recordBit[r] = (b.in - middle) * 8 + b.bit;
    recordOut[r] = static_cast<std::size_t>(b.out - side);
    decodeOneEntry(table, rootTable, b);
  }

  // A stops short of the middle, so that it is not already past B's first boundaries.
  const std::uint8_t* const aStop = middle - 8;
  while (a.in < aStop && b.in < end) {
    decodeWindow(table, rootTable, a);
    decodeWindow(table, rootTable, b);
  }
  while (a.in < aStop) decodeWindow(table, rootTable, a);
  while (b.in < end) decodeWindow(table, rootTable, b);

  // A walks on code by code until it stands on a boundary that B noted.
  std::int64_t position = (a.in - middle) * 8 + a.bit;
  std::size_t r = 0;
  for (;;) {
    while (r < kRecords && recordBit[r] < position) ++r;
    if (r == kRecords) return {a, nullptr, nullptr, false};
    if (recordBit[r] == position) {
      return {{b.in, b.bit, a.out}, side + recordOut[r], b.out, true};
    }
    const TreeNode* node = root;
    do {
      node = ((*a.in >> (7 - a.bit)) & 1U) != 0 ? node->right : node->left;
      skipBits(a.in, a.bit, 1);
      ++position;
    } while (!isLeaf(node));
    *a.out++ = node->symbol;
  }
}

// The depth of the shallowest and of the deepest leaf under `node`, counted from the root.
void leafDepths(const TreeNode* node, int depth, int& shallowest, int& deepest) {
  if (isLeaf(node)) {
    shallowest = std::min(shallowest, depth);
    deepest = std::max(deepest, depth);
    return;
  }
  leafDepths(node->left, depth + 1, shallowest, deepest);
  leafDepths(node->right, depth + 1, shallowest, deepest);
}

// All 256 codes are 8 bits long (flat counts, as for random bytes): every payload byte is one
// code, so decoding is a byte translation. Trailing bits short of a byte are an incomplete code.
DecodeStatus translateBytes(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                            DestinationStream& destination) {
  std::array<std::uint8_t, 256> symbolOf{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const TreeNode* node = root;
    for (int bit = 7; bit >= 0; --bit) node = ((byte >> bit) & 1U) != 0 ? node->right : node->left;
    symbolOf[byte] = node->symbol;
  }
  std::uint64_t left = static_cast<std::uint64_t>(bitCount) / 8;
  while (left > 0) {
    const std::span<const std::uint8_t> input = source.buffered();
    if (input.empty()) return DecodeStatus::invalidFormat;  // the source shrank
    std::uint8_t* out = destination.reserve(1);
    const std::size_t count = std::min<std::uint64_t>(
        {left, input.size(), static_cast<std::uint64_t>(destination.limit() - out)});
    for (std::size_t i = 0; i < count; ++i) out[i] = symbolOf[input[i]];
    destination.commit(out + count);
    source.advance(count);
    left -= count;
    if (destination.failed()) return DecodeStatus::writeFailed;
  }
  return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
}

// The progress of two-lane blocks over a run: lanes are dropped when they keep failing.
struct LaneUse {
  bool lanes = true;
  int failures = 0;

  void count(bool synchronised) {
    if (synchronised) {
      --failures;
    } else if (++failures > kFailureAllowance) {
      lanes = false;
    }
  }
};

// Decodes two-lane blocks from `lane` while a whole block's input lies before `inEnd`, into
// `out`, which has room for everything (at most eight bytes per input bit, plus slack).
void blocksToMemory(const Table& table, const TreeNode* root, Lane& lane,
                    const std::uint8_t* inEnd, std::uint8_t* side, LaneUse& use) {
  while (use.lanes && inEnd - lane.in >= static_cast<std::ptrdiff_t>(kBlockInputBytes)) {
    const BlockResult block = decodeTwoLanes(table, root, lane, side);
    lane = block.next;
    if (block.synchronised) {
      const auto count = static_cast<std::size_t>(block.sideEnd - block.sideBegin);
      std::memcpy(lane.out, block.sideBegin, count);
      lane.out += count;
    }
    use.count(block.synchronised);
  }
}

// The same into the destination, block by block. False once a write has failed.
bool blocksToDestination(const Table& table, const TreeNode* root, const std::uint8_t*& in,
                         unsigned& bit, const std::uint8_t* inEnd, DestinationStream& destination,
                         std::uint8_t* side, LaneUse& use) {
  while (use.lanes && inEnd - in >= static_cast<std::ptrdiff_t>(kBlockInputBytes)) {
    const BlockResult block =
        decodeTwoLanes(table, root, {in, bit, destination.reserve(kBlockOutputBytes)}, side);
    destination.commit(block.next.out);
    in = block.next.in;
    bit = block.next.bit;
    if (block.synchronised) {
      for (const std::uint8_t* from = block.sideBegin; from < block.sideEnd;) {
        std::uint8_t* to = destination.reserve(1);
        const auto count = std::min(block.sideEnd - from, destination.limit() - to);
        std::memcpy(to, from, static_cast<std::size_t>(count));
        destination.commit(to + count);
        from += count;
      }
    }
    use.count(block.synchronised);
    if (destination.failed()) return false;
  }
  return true;
}

// The fast loop into the destination while kInputMargin bytes remain before `inEnd`. False once
// a write has failed.
bool fastLoopToDestination(const Table& table, const std::uint8_t*& in, unsigned& bit,
                           const std::uint8_t* inEnd, DestinationStream& destination) {
  for (;;) {
    Lane lane{in, bit, destination.reserve(kOutputMargin)};
    fastLoop(table, lane, inEnd, destination.limit());
    destination.commit(lane.out);
    in = lane.in;
    bit = lane.bit;
    if (destination.failed()) return false;
    if (static_cast<std::size_t>(destination.limit() - lane.out) >= kOutputMargin) return true;
  }
}

// Two threads. Large files are decoded in segments of kSegmentBytes of input: the calling thread
// decodes the first kLeadBytes from the true position into the destination while a worker thread
// decodes the rest from a guessed start (the byte boundary at kLeadBytes) into its own buffer,
// noting its first kSegmentRecords entry boundaries. The caller then walks on code by code to one
// of them, which proves the worker right, and appends the worker's output from there; if none
// matches, the worker's output is dropped and decoding goes on from the caller's position. The
// caller also writes the output, so the worker takes the larger share.
// Each share is a whole number of two-lane blocks plus room for the records, the stop before the
// worker's start and the few bytes each block overshoots its end by, so that almost nothing is
// left to the slower single-lane loop.
constexpr std::size_t kLeadBytes = 3 * 2 * kLaneBytes + 512;
constexpr std::size_t kFollowBytes = 5 * 2 * kLaneBytes + 1024;
constexpr std::size_t kSegmentBytes = kLeadBytes + kFollowBytes;
constexpr std::size_t kSegmentRecords = 128;
// The caller's fast decoding stops this far before the worker's start, so that a last window
// without a long code cannot carry it past the worker's first boundaries; the rest is walked.
constexpr std::size_t kLeadStopBytes = 16;
static_assert(8 * kLeadStopBytes >= 7 + kLookupsPerWindow * Table::kTableBits);
static_assert(kLeadBytes % (2 * kLaneBytes) >= kLeadStopBytes + kInputMargin + 3 * kStepConsumedBytes);
// Input a segment needs buffered from its start, including the margin of the worker's last step.
constexpr std::size_t kSegmentInputBytes = kSegmentBytes + kInputMargin;
// Room for the worker's output: at most one byte per input bit it consumes (its share and the
// overshoot of its last step), plus the stores' slack.
constexpr std::size_t kFollowOutputBytes =
    8 * (kFollowBytes + kInputMargin) + kSegmentRecords * (kLongestCodeBits + Table::kTableBits) +
    kOutputMargin;
static_assert(kThreadedPayloadBytes >= 2 * kSegmentBytes, "a thread must have work to pay off");

// What the worker decoded of one segment.
struct FollowResult {
  Lane end;  // where its decoding stopped, on a boundary of its own code sequence
  std::array<std::int64_t, kSegmentRecords> recordBit;  // its entry boundaries, bits from start
  std::array<std::size_t, kSegmentRecords> recordOut;   // its output before each
};

// The worker's part of a segment: from `begin` (a guessed code boundary at bit 0) until it has
// passed `end`, into `out` (kFollowOutputBytes of room); kInputMargin bytes after `end` must be
// readable.
void decodeFollow(const Table& table, const TreeNode* root, const std::uint8_t* begin,
                  const std::uint8_t* end, std::uint8_t* out, std::uint8_t* side,
                  FollowResult& result) {
  const DecodeEntry* const rootTable = table.table(0);
  Lane lane{begin, 0, out};
  for (std::size_t r = 0; r < kSegmentRecords; ++r) {
    result.recordBit[r] = (lane.in - begin) * 8 + lane.bit;
    result.recordOut[r] = static_cast<std::size_t>(lane.out - out);
    decodeOneEntry(table, rootTable, lane);
  }
  LaneUse use;
  blocksToMemory(table, root, lane, end, side, use);
  while (lane.in < end) decodeWindow(table, rootTable, lane);
  result.end = lane;
}

// A thread that decodes the following part of one segment at a time. The caller hands a segment
// over with start() and takes the result with finish(); between the two it must not touch the
// worker's buffers, and the worker touches nothing else but the read-only input and tables.
//
// Waking a sleeping thread costs tens of microseconds on this kind of machine, a sizeable part of
// a segment's fraction of a millisecond, so both sides spin for a while on the state before they
// sleep on the condition variable. The state is only changed under the mutex, so a sleeper never
// misses its wake-up; the spinning reads pair with those changes through acquire and release.
class SegmentWorker {
 public:
  SegmentWorker()
      : output_(std::make_unique_for_overwrite<std::uint8_t[]>(kFollowOutputBytes)),
        side_(std::make_unique_for_overwrite<std::uint8_t[]>(kSideBytes)),
        thread_([this] { run(); }) {}
  SegmentWorker(const SegmentWorker&) = delete;
  SegmentWorker& operator=(const SegmentWorker&) = delete;
  // Only between segments: after finish(), or before any start().
  ~SegmentWorker() {
    setState(State::stopping);
    thread_.join();
  }

  void start(const Table& table, const TreeNode* root, const std::uint8_t* begin,
             const std::uint8_t* end) {
    job_ = {&table, root, begin, end};  // published by the release in setState
    setState(State::pending);
  }

  // The result of the segment handed over last, valid until the next start(); or null when the
  // worker had not taken it up yet (it was busy or not scheduled, say on a loaded machine), in
  // which case it never will and the caller decodes on by itself.
  const FollowResult* finish() {
    State expected = State::pending;
    if (state_.compare_exchange_strong(expected, State::idle, std::memory_order_acquire)) {
      return nullptr;
    }
    waitFor([](State state) { return state == State::done; });
    state_.store(State::idle, std::memory_order_relaxed);  // only this thread looks at it now
    return &result_;
  }
  const std::uint8_t* output() const { return output_.get(); }

 private:
  // pending -> running is the worker taking a segment up, pending -> idle the caller taking it
  // back; exactly one of the two exchanges succeeds.
  enum class State { idle, pending, running, done, stopping };
  struct Job {
    const Table* table = nullptr;
    const TreeNode* root = nullptr;
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
  };
  // About a tenth of a millisecond of spinning, a fraction of a segment's decoding.
  static constexpr int kSpins = 4000;

  void setState(State state) {
    {
      const std::lock_guard lock(mutex_);
      state_.store(state, std::memory_order_release);
    }
    wake_.notify_one();
  }

  template <typename Ready>
  State waitFor(Ready ready) {
    for (int spin = 0; spin < kSpins; ++spin) {
      const State state = state_.load(std::memory_order_acquire);
      if (ready(state)) return state;
      __builtin_ia32_pause();
    }
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return ready(state_.load(std::memory_order_acquire)); });
    return state_.load(std::memory_order_acquire);
  }

  void run() {
    for (;;) {
      const State state = waitFor(
          [](State current) { return current == State::pending || current == State::stopping; });
      if (state == State::stopping) return;
      State expected = State::pending;
      if (!state_.compare_exchange_strong(expected, State::running, std::memory_order_acquire)) {
        continue;  // taken back by the caller
      }
      decodeFollow(*job_.table, job_.root, job_.begin, job_.end, output_.get(), side_.get(),
                   result_);
      setState(State::done);  // publishes result_ and the output
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<State> state_{State::idle};
  Job job_;
  FollowResult result_{};
  std::unique_ptr<std::uint8_t[]> output_;
  std::unique_ptr<std::uint8_t[]> side_;
  std::thread thread_;  // last: it starts running once everything above is constructed
};

// Segments while the buffered input holds a whole one. Starts and stops on true code boundaries.
// False once a write has failed.
bool decodeSegments(const Table& table, const TreeNode* root, SegmentWorker& worker,
                    const std::uint8_t*& in, unsigned& bit, const std::uint8_t* inEnd,
                    DestinationStream& destination, std::uint8_t* side, LaneUse& leadUse,
                    LaneUse& segmentUse) {
  while (segmentUse.lanes && inEnd - in >= static_cast<std::ptrdiff_t>(kSegmentInputBytes)) {
    const std::uint8_t* const middle = in + kLeadBytes;
    worker.start(table, root, middle, in + kSegmentBytes);

    const std::uint8_t* const leadStop = middle - kLeadStopBytes;
    bool written = blocksToDestination(table, root, in, bit, leadStop, destination, side, leadUse);
    written = written && fastLoopToDestination(table, in, bit, leadStop + kInputMargin - 1,
                                               destination);
    const FollowResult* const taken = worker.finish();
    if (!written) return false;
    if (taken == nullptr) continue;  // the caller goes on alone from where it stands
    const FollowResult& follow = *taken;

    // Walk on code by code until standing on a boundary the worker noted.
    std::int64_t position = (in - middle) * 8 + bit;
    std::size_t r = 0;
    bool synchronised = false;
    for (;;) {
      while (r < kSegmentRecords && follow.recordBit[r] < position) ++r;
      if (r == kSegmentRecords) break;
      if (follow.recordBit[r] == position) {
        synchronised = true;
        break;
      }
      const TreeNode* node = root;
      do {
        node = ((*in >> (7 - bit)) & 1U) != 0 ? node->right : node->left;
        skipBits(in, bit, 1);
        ++position;
      } while (!isLeaf(node));
      destination.put(node->symbol);
    }
    if (synchronised) {
      const std::uint8_t* from = worker.output() + follow.recordOut[r];
      const std::uint8_t* const to = follow.end.out;
      while (from < to) {
        std::uint8_t* out = destination.reserve(1);
        const auto count = std::min(to - from, destination.limit() - out);
        std::memcpy(out, from, static_cast<std::size_t>(count));
        destination.commit(out + count);
        from += count;
      }
      in = follow.end.in;
      bit = follow.end.bit;
    }
    segmentUse.count(synchronised);
    if (destination.failed()) return false;
  }
  return true;
}

DecodeStatus decodeWithTables(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                              DestinationStream& destination) {
  const std::uint64_t payloadBytes = (static_cast<std::uint64_t>(bitCount) + 7) / 8;
  // A worker thread only for large files: the in-memory interface stays on the caller's thread.
  std::optional<SegmentWorker> worker;
  if (source.isFile() && payloadBytes >= kThreadedPayloadBytes) worker.emplace();

  // Bytes kept buffered ahead so that segments, blocks and the fast loop can run.
  constexpr std::size_t kBlockRefill = kBlockInputBytes + kInputMargin;
  constexpr std::size_t kSegmentRefill = kSegmentInputBytes + kInputMargin;
  static_assert(kSegmentRefill <= SourceStream::kBufferSize / 2);
  Table table;
  table.build(root);
  const auto side = std::make_unique_for_overwrite<std::uint8_t[]>(kSideBytes);
  LaneUse laneUse;
  LaneUse segmentUse;
  segmentUse.lanes = worker.has_value();

  std::uint64_t bytesLeft = payloadBytes;  // from the start of the current span to the end
  unsigned bit = 0;
  for (;;) {
    const std::size_t refill = segmentUse.lanes ? kSegmentRefill : kBlockRefill;
    const std::span<const std::uint8_t> input = source.bufferedAtLeast(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytesLeft, refill)));
    const std::size_t spanBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), bytesLeft));
    if (spanBytes < std::min<std::uint64_t>(bytesLeft, refill)) {
      return DecodeStatus::invalidFormat;  // the source shrank after it was checked
    }
    const std::uint8_t* in = input.data();
    const std::uint8_t* const inEnd = in + spanBytes;
    const bool lastSpan = spanBytes >= bytesLeft;

    if (segmentUse.lanes) {
      if (!decodeSegments(table, root, *worker, in, bit, inEnd, destination, side.get(), laneUse,
                          segmentUse)) {
        return DecodeStatus::writeFailed;
      }
      if (segmentUse.lanes && !lastSpan) {  // segments need a whole one buffered: compact, read on
        const auto consumed = static_cast<std::size_t>(in - input.data());
        source.advance(consumed);
        bytesLeft -= consumed;
        continue;
      }
    }

    if (!blocksToDestination(table, root, in, bit, inEnd, destination, side.get(), laneUse)) {
      return DecodeStatus::writeFailed;
    }
    if (laneUse.lanes && !lastSpan) {  // leave the rest to the next, compacted span: lanes need room
      const auto consumed = static_cast<std::size_t>(in - input.data());
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    if (!fastLoopToDestination(table, in, bit, inEnd, destination)) {
      return DecodeStatus::writeFailed;
    }

    const auto consumed = static_cast<std::size_t>(in - input.data());
    if (spanBytes < bytesLeft) {  // more payload follows in the file: keep the rest and read on
      source.advance(consumed);
      bytesLeft -= consumed;
      continue;
    }

    // The tail: fewer than kInputMargin bytes, all buffered. Walk the bits that bitCount still
    // covers from the root; an incomplete last code produces nothing.
    const std::uint64_t taken = (payloadBytes - bytesLeft + consumed) * 8 + bit;
    std::uint64_t tailBits = static_cast<std::uint64_t>(bitCount) - taken;
    const TreeNode* node = root;
    for (; tailBits > 0; --tailBits) {
      node = ((*in >> (7 - bit)) & 1U) != 0 ? node->right : node->left;
      if (++bit == 8) {
        bit = 0;
        ++in;
      }
      if (isLeaf(node)) {
        destination.put(node->symbol);
        node = root;
      }
    }
    source.advance(static_cast<std::size_t>(inEnd - input.data()));
    return destination.failed() ? DecodeStatus::writeFailed : DecodeStatus::success;
  }
}

}  // namespace

DecodeStatus decodePayload(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                           DestinationStream& destination) {
  int shallowest = 256;
  int deepest = 0;
  leafDepths(root, 0, shallowest, deepest);
  if (shallowest == 8 && deepest == 8) return translateBytes(root, source, bitCount, destination);
  return decodeWithTables(root, source, bitCount, destination);
}

}  // namespace ravmolt
