#include "engine/drivers/two_thread_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <memory>

#include "engine/drivers/segment_decoder.h"
#include "engine/fast/join_counts.h"
#include "engine/io/buffer.h"
#include "engine/platform/threads.h"

namespace ravmolt {
namespace {

constexpr unsigned kThreads = 2;
// Segments a thread may hold decoded but not yet written: on codes that decode faster than they
// can be written, two left the thread that was not writing idle a fifth of the time.
constexpr unsigned kSlotsPerThread = 3;
// Waits spin this many times (tens of microseconds) before sleeping: a hand-over is usually due
// soon, and waking a sleeping thread costs about as much.
constexpr int kSpins = 4000;
// Joins that failed this many times more often than they succeeded end the guessing.
constexpr int kGuessAllowance = 8;
static_assert(kEdgeBits > kLongestCodeBits, "a tail window always holds a code start");

// The slot protocol.
//
// Slots [t * kSlotsPerThread, (t + 1) * kSlotsPerThread) belong to thread t. A slot's state is one
// atomic word, a segment number and a phase read together, and moves only this way:
//   free -> claimed       by its owner, which then reads the segment's bytes into the slot and
//                         decodes its head window (unless guessing has stopped);
//   claimed -> headReady  by its owner: `guessed` and the head's code starts are final, and the
//                         writer may read them to join the segment before;
//   headReady -> done     by its owner: the output and its result are final;
//   done -> free          by the writer, once the segment is written.
// Before `done` only the owner writes a slot's buffers; after it only the writer does (a segment
// that did not join is decoded again into its own slot). Each state store publishes what was
// written before it to the thread that loads that state.
//
// The writer's role passes from thread to thread: `writing_` goes from false to true for the
// thread that finds segment `written_` done and the next one's head ready (or none after it).
// Only the role's holder writes to the destination and touches `written_`, the join state and
// `failures_`. It gives the role back when nothing more is ready, then looks again: a segment
// that became ready meanwhile may have been turned away by the role being held.
//
// Every change another thread could wait for moves `progress_` on and wakes it; a thread with
// nothing to do waits for `progress_` to move from the value it read before it last looked.
enum Phase : std::uint32_t { kFree = 0, kClaimed = 1, kHeadReady = 2, kDone = 3 };
constexpr std::uint32_t stateOf(std::uint32_t segment, Phase phase) { return segment * 4 + phase; }
constexpr std::uint32_t segmentOf(std::uint32_t state) { return state / 4; }
constexpr Phase phaseOf(std::uint32_t state) { return static_cast<Phase>(state % 4); }
static_assert(std::uint64_t{INT32_MAX} / kMinimumSegmentBits < UINT32_MAX / 4);

// Buffers for one segment, reused: fresh memory is slow to touch.
struct Slot {
  std::atomic<std::uint32_t> state{kFree};
  Buffer<std::uint8_t> input;
  Buffer<std::uint8_t> output;
  SegmentResult result;
  CodeStarts head{};     // the code starts of the head window, kept for the writer
  bool guessed = false;  // decoded from its start as a guess; else not decoded at all
};

// Where the segment due to be written has its true output: from symbol `index` of its guessed
// output, or, when its guess did not join (`redo`), from a decode starting at `start`.
struct Join {
  BitPosition start = 0;
  std::size_t index = 0;
  bool redo = false;
};

class TwoThreadRun {
 public:
  TwoThreadRun(const DecodeTable& table, const Payload& payload, DestinationStream& destination,
               const SegmentPlan& plan);
  std::optional<DecodeStatus> run();

 private:
  BitPosition stopOf(std::uint32_t segment) const { return plan_.stopOf(segment, payload_.bits); }
  bool finished() const {
    return written_.load() == plan_.count || status_.load() != DecodeStatus::success;
  }
  void setState(Slot& slot, std::uint32_t state) {
    slot.state.store(state);
    announce();
  }
  void announce();
  void awaitProgress(std::uint32_t seen);
  void stop(DecodeStatus status);

  void work(unsigned thread);
  Slot* freeSlotOf(unsigned thread);
  void decodeSegment(std::uint32_t segment, Slot& slot, SegmentDecoder& decoder);
  bool readSegment(std::uint32_t segment, Slot& slot);
  Slot* find(std::uint32_t segment, Phase phase);
  bool nextIsReady();
  void writeWhatIsReady(SegmentDecoder& decoder);
  void writeNext(SegmentDecoder& decoder);
  std::size_t joinNext(const SegmentResult& result, BitPosition stop, const Slot& next);

  const Payload& payload_;
  DestinationStream& destination_;
  SegmentPlan plan_;
  std::size_t inputBytes_;
  std::size_t outputRoom_;
  std::array<SegmentDecoder, kThreads> decoders_;  // one for each thread

  std::array<Slot, kThreads * kSlotsPerThread> slots_;
  std::atomic<std::uint32_t> claimed_{0};  // segments claimed so far
  std::atomic<std::uint32_t> written_{0};  // segments written so far
  std::atomic<DecodeStatus> status_{DecodeStatus::success};
  alignas(64) std::atomic<std::uint32_t> progress_{0};
  std::atomic<bool> writing_{false};
  Join join_;         // the writer's
  int failures_ = 0;  // the writer's: joins that failed, less those that succeeded
  std::atomic<bool> guessing_{true};
};

TwoThreadRun::TwoThreadRun(const DecodeTable& table, const Payload& payload,
                           DestinationStream& destination, const SegmentPlan& plan)
    : payload_(payload),
      destination_(destination),
      plan_(plan),
      decoders_{SegmentDecoder(table, plan.longestSegmentBits(payload.bits)),
                SegmentDecoder(table, plan.longestSegmentBits(payload.bits))} {
  const std::uint64_t longest = plan.longestSegmentBits(payload.bits);
  inputBytes_ = static_cast<std::size_t>(longest / 8) + kTailReadBytes + 1;
  outputRoom_ = decoders_[0].outputRoom(longest);
  // Every buffer is allocated before the helper starts: a thread that maps memory blocks the
  // other's page faults, and the wake-up after such a wait was seen to put the helper on this
  // thread's processor for milliseconds while the other one idled.
  for (Slot& slot : slots_) {
    slot.input = allocateArray<std::uint8_t>(inputBytes_);
    slot.output = allocateArray<std::uint8_t>(outputRoom_);
  }
}

std::optional<DecodeStatus> TwoThreadRun::run() {
  for (const Slot& slot : slots_) {
    if (!slot.input || !slot.output) return std::nullopt;  // no memory for two: one thread then
  }
  HelperThread helper;
  const auto helperWork = [](void* self) { static_cast<TwoThreadRun*>(self)->work(1); };
  if (!helper.start(helperWork, this)) return std::nullopt;
  work(0);
  helper.join();
  return status_.load();
}

void TwoThreadRun::announce() {
  progress_.fetch_add(1);
  progress_.notify_all();
}

void TwoThreadRun::awaitProgress(std::uint32_t seen) {
  for (int spin = 0; spin < kSpins; ++spin) {
    if (progress_.load(std::memory_order_acquire) != seen) return;
    pauseWhileSpinning();
  }
  progress_.wait(seen);
}

// Ends the run; the first reason given is the one reported.
void TwoThreadRun::stop(DecodeStatus status) {
  DecodeStatus expected = DecodeStatus::success;
  status_.compare_exchange_strong(expected, status);
  announce();
}

void TwoThreadRun::work(unsigned thread) {
  SegmentDecoder& decoder = decoders_[thread];
  for (;;) {
    const std::uint32_t seen = progress_.load();
    writeWhatIsReady(decoder);
    if (finished()) return;
    Slot* const slot = freeSlotOf(thread);
    if (slot != nullptr && claimed_.load() < plan_.count) {
      const std::uint32_t segment = claimed_.fetch_add(1);
      if (segment < plan_.count) decodeSegment(segment, *slot, decoder);
      continue;
    }
    awaitProgress(seen);
  }
}

Slot* TwoThreadRun::freeSlotOf(unsigned thread) {
  for (unsigned k = 0; k < kSlotsPerThread; ++k) {
    Slot& slot = slots_[thread * kSlotsPerThread + k];
    if (slot.state.load() == kFree) return &slot;
  }
  return nullptr;
}

// Reads segment `segment` into `slot` and decodes it from its start, unless guessing has been
// given up; then the writer decodes it once its true start is known.
void TwoThreadRun::decodeSegment(std::uint32_t segment, Slot& slot, SegmentDecoder& decoder) {
  setState(slot, stateOf(segment, kClaimed));
  if (!readSegment(segment, slot)) {
    stop(DecodeStatus::invalidFormat);  // the source shrank after it was checked
    return;
  }
  const BitPosition start = plan_.startOf(segment);
  const SegmentInput input{{slot.input.get(), inputBytes_}, start};
  slot.guessed = segment == 0 || guessing_.load(std::memory_order_relaxed);
  if (slot.guessed) {
    decoder.begin(input, start, slot.output.get(), slot.result);
    slot.head = slot.result.head;
  }
  setState(slot, stateOf(segment, kHeadReady));
  if (slot.guessed) decoder.finish(stopOf(segment), plan_.isLast(segment), slot.result);
  setState(slot, stateOf(segment, kDone));
}

bool TwoThreadRun::readSegment(std::uint32_t segment, Slot& slot) {
  const std::uint64_t first = plan_.startOf(segment) / 8;
  const std::uint64_t end =
      plan_.isLast(segment) ? (payload_.bits + 7) / 8 : stopOf(segment) / 8 + kTailReadBytes;
  const auto size = static_cast<std::size_t>(end - first);
  assert(size <= inputBytes_);
  return payload_.source.readAt(payload_.offset + first, slot.input.get(), size) == size;
}

// The slot holding `segment` at least as far as `phase`, if any.
Slot* TwoThreadRun::find(std::uint32_t segment, Phase phase) {
  for (Slot& slot : slots_) {
    const std::uint32_t state = slot.state.load();
    if (phaseOf(state) != kFree && segmentOf(state) == segment && phaseOf(state) >= phase) {
      return &slot;
    }
  }
  return nullptr;
}

// The next segment can be written once it is decoded and the one after it can be joined on.
bool TwoThreadRun::nextIsReady() {
  const std::uint32_t next = written_.load();
  if (next >= plan_.count || find(next, kDone) == nullptr) return false;
  return plan_.isLast(next) || find(next + 1, kHeadReady) != nullptr;
}

void TwoThreadRun::writeWhatIsReady(SegmentDecoder& decoder) {
  while (status_.load() == DecodeStatus::success && nextIsReady()) {
    bool expected = false;
    if (!writing_.compare_exchange_strong(expected, true)) return;
    while (status_.load() == DecodeStatus::success && nextIsReady()) writeNext(decoder);
    writing_.store(false);
  }
}

// Writes segment written_ from where its true output begins, then joins the segment after it.
void TwoThreadRun::writeNext(SegmentDecoder& decoder) {
  const std::uint32_t segment = written_.load();
  Slot& slot = *find(segment, kDone);
  std::size_t from = join_.index;
  if (join_.redo || !slot.guessed) {
    const SegmentInput input{{slot.input.get(), inputBytes_}, plan_.startOf(segment)};
    decoder.begin(input, join_.start, slot.output.get(), slot.result);
    decoder.finish(stopOf(segment), plan_.isLast(segment), slot.result);
    from = 0;
  }
  std::size_t to = slot.result.count;
  if (!plan_.isLast(segment)) {
    to = joinNext(slot.result, stopOf(segment), *find(segment + 1, kHeadReady));
  }
  if (!destination_.write(slot.output.get() + from, to - from)) {
    stop(DecodeStatus::writeFailed);
    return;
  }
  written_.store(segment + 1);
  setState(slot, kFree);
}

// Joins a segment whose output is true from its join on with the next one: returns where the
// segment's output ends, and records where the next segment's true output begins.
std::size_t TwoThreadRun::joinNext(const SegmentResult& result, BitPosition stop,
                                   const Slot& next) {
  const unsigned common = next.guessed ? firstCommonStart(result.tail, next.head) : kEdgeBits;
  if (next.guessed) countJoinEvent(JoinEvent::segmentJoin);
  if (next.guessed && common == kEdgeBits) countJoinEvent(JoinEvent::unjoinedSegment);
  if (common < kEdgeBits) {
    join_ = {stop + common, codeStartsBelow(next.head, common), false};
    --failures_;
    return result.tailBase + codeStartsBelow(result.tail, common);
  }
  if (next.guessed && ++failures_ > kGuessAllowance) guessing_.store(false);
  const unsigned last = lastCodeStart(result.tail);
  join_ = {stop + last, 0, true};
  return result.tailBase + codeStartsBelow(result.tail, last);
}

}  // namespace

std::optional<DecodeStatus> decodeOnTwoThreads(const DecodeTable& table, const Payload& payload,
                                               DestinationStream& destination,
                                               const SegmentPlan& plan) {
  assert(fitsPlan(plan, payload.bits));
  TwoThreadRun run(table, payload, destination, plan);
  return run.run();
}

}  // namespace ravmolt
