#include "engine/drivers/parallel_decoder.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <numeric>

#include "engine/fast/decode_table.h"
#include "engine/drivers/segment_decoder.h"

namespace ravmolt {
namespace {

// A payload of fewer segments is not worth a second thread.
constexpr std::uint32_t kMinimumSegments = 4;
constexpr unsigned kThreads = 2;
// Segments a thread may hold decoded but not yet written. A thread that runs ahead keeps working
// while the other finishes the segment that must be written first, or writes: on codes that
// decode faster than they can be written, two slots left the thread that was not writing idle a
// fifth of the time, waiting for a slot.
constexpr unsigned kSlotsPerThread = 3;
constexpr unsigned kSlots = kThreads * kSlotsPerThread;
// Waits spin this many times (tens of microseconds) before sleeping: a hand-over is usually due
// soon, and waking a sleeping thread costs about as much.
constexpr int kSpins = 4000;

unsigned processorsAvailable() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<unsigned>(CPU_COUNT(&set));
}

// Reads exactly `size` bytes at `offset`; false when the file ends first or a read fails.
bool readFully(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// A slot's state: the segment it holds and how far its decoding has got, in one word so that
// both are read together. A thread fills only its own slots; the writer empties them.
enum Phase : std::uint32_t {
  kFree = 0,
  kClaimed = 1,    // being read and decoded
  kHeadReady = 2,  // the head window is decoded: the previous segment can be joined to it
  kDone = 3,       // decoded to the end of the tail window
};
constexpr std::uint32_t stateOf(std::uint32_t segment, Phase phase) { return segment * 4 + phase; }
constexpr std::uint32_t segmentOf(std::uint32_t state) { return state / 4; }
constexpr Phase phaseOf(std::uint32_t state) { return static_cast<Phase>(state % 4); }
static_assert(std::uint64_t{INT32_MAX} / kMinimumSegmentBits < UINT32_MAX / 4);

// Two threads claim segments in order, each into a free slot of its own, decode them from their
// start as if a code began there, and write them in order: whichever thread finds the next
// segment ready takes the writer's role, proves where its true output joins the segment after it,
// and writes it. A thread that falls behind (other work took its processor) just claims fewer
// segments, so neither waits long on the other.
class ParallelDecoder {
 public:
  ParallelDecoder(const TreeNode* root, const CodeShape& shape, int fd, std::uint64_t payloadOffset,
                  std::int32_t bitCount, const SegmentPlan& plan, DestinationStream& destination)
      : shape_(shape),
        fd_(fd),
        payloadOffset_(payloadOffset),
        bitCount_(static_cast<std::uint64_t>(bitCount)),
        plan_(plan),
        destination_(destination),
        decoders_{SegmentDecoder(table_, root, shape), SegmentDecoder(table_, root, shape)} {
    table_.build(root);
    // Every buffer is allocated before the helper starts: a thread that maps memory blocks the
    // other's page faults, and the wake-up after such a wait was seen to put the helper on this
    // thread's processor for milliseconds while the other one idled.
    for (Slot& slot : slots_) {
      slot.input = std::make_unique_for_overwrite<std::uint8_t[]>(inputBytes());
      slot.output = std::make_unique_for_overwrite<std::uint8_t[]>(outputRoom());
    }
  }

  std::optional<DecodeStatus> run() {
    pthread_t helper;
    // The helper runs only on processors other than this thread's, so that the scheduler never
    // stacks the two on one processor (when it did, it took milliseconds to part them again). On
    // a loaded processor the helper just claims fewer segments.
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) return std::nullopt;
    cpu_set_t elsewhere;
    if (::sched_getaffinity(0, sizeof elsewhere, &elsewhere) != 0) CPU_ZERO(&elsewhere);
    const int here = ::sched_getcpu();
    if (here >= 0 && here < CPU_SETSIZE) CPU_CLR(here, &elsewhere);
    if (CPU_COUNT(&elsewhere) > 0) {
      (void)::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere);
    }
    const int created = ::pthread_create(&helper, &attributes, &helperMain, this);
    ::pthread_attr_destroy(&attributes);
    if (created != 0) return std::nullopt;
    work(0);
    ::pthread_join(helper, nullptr);
    return status_.load();
  }

 private:
  // Buffers for one segment, reused: fresh memory is slow to touch.
  struct Slot {
    std::atomic<std::uint32_t> state{kFree};
    std::unique_ptr<std::uint8_t[]> input;
    std::unique_ptr<std::uint8_t[]> output;
    SegmentResult result;
    EdgeMap head{};        // the code starts of the head window, copied for the writer
    bool guessed = false;  // decoded from its start as a guess; else not decoded at all
  };

  static void* helperMain(void* self) {
    static_cast<ParallelDecoder*>(self)->work(1);
    return nullptr;
  }

  std::uint64_t startOf(std::uint32_t segment) const { return segment * plan_.segmentBits; }
  std::uint64_t stopOf(std::uint32_t segment) const {
    return isLast(segment) ? bitCount_ : startOf(segment + 1);
  }
  bool isLast(std::uint32_t segment) const { return segment + 1 == plan_.count; }
  std::uint64_t longestSegmentBits() const {
    return std::max(plan_.segmentBits, bitCount_ - startOf(plan_.count - 1));
  }
  std::size_t inputBytes() const {
    return static_cast<std::size_t>(longestSegmentBits() / 8) + kTailReadBytes + 1;
  }
  std::size_t outputRoom() const {
    return SegmentDecoder::outputRoom(longestSegmentBits(), shape_);
  }

  bool finished() const {
    return written_.load() == plan_.count || status_.load() != DecodeStatus::success;
  }

  // Every change a waiting thread could be waiting for moves `progress_` on and wakes it.
  void setState(Slot& slot, std::uint32_t state) {
    slot.state.store(state);
    announce();
  }
  void announce() {
    progress_.fetch_add(1);
    if (sleepers_.load() > 0) {
      ::syscall(SYS_futex, &progress_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
  }
  // Waits until `progress_` is no longer `seen`.
  void awaitProgress(std::uint32_t seen) {
    for (int spin = 0; spin < kSpins; ++spin) {
      if (progress_.load(std::memory_order_acquire) != seen) return;
      __builtin_ia32_pause();
    }
    sleepers_.fetch_add(1);
    if (progress_.load() == seen) {
      static_assert(sizeof progress_ == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free);
      ::syscall(SYS_futex, &progress_, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    }
    sleepers_.fetch_sub(1);
  }

  // Ends the run; the first reason given is the one reported.
  void stop(DecodeStatus status) {
    DecodeStatus expected = DecodeStatus::success;
    status_.compare_exchange_strong(expected, status);
    announce();
  }

  void work(unsigned thread) {
    SegmentDecoder& decoder = decoders_[thread];
    for (;;) {
      const std::uint32_t seen = progress_.load();
      writeWhatIsReady(decoder);
      if (finished()) return;
      Slot* free = nullptr;
      for (unsigned k = 0; k < kSlotsPerThread && free == nullptr; ++k) {
        Slot& slot = slots_[thread * kSlotsPerThread + k];
        if (slot.state.load() == kFree) free = &slot;
      }
      if (free != nullptr && claimed_.load() < plan_.count) {
        decodeSegment(claimed_.fetch_add(1), *free, decoder);
        continue;
      }
      awaitProgress(seen);
    }
  }

  // Reads segment `segment` into `slot` and decodes it from its start, unless guessing has been
  // given up; then the writer decodes it once its true start is known.
  void decodeSegment(std::uint32_t segment, Slot& slot, SegmentDecoder& decoder) {
    if (segment >= plan_.count) return;
    setState(slot, stateOf(segment, kClaimed));
    const std::uint64_t first = startOf(segment) / 8;
    const std::uint64_t end =
        isLast(segment) ? (bitCount_ + 7) / 8 : stopOf(segment) / 8 + kTailReadBytes;
    if (!readFully(fd_, slot.input.get(), static_cast<std::size_t>(end - first),
                   payloadOffset_ + first)) {
      stop(DecodeStatus::invalidFormat);  // the source shrank after it was checked
      return;
    }
    slot.guessed = segment == 0 || failures_.load(std::memory_order_relaxed) <= kAllowance;
    if (slot.guessed) {
      decoder.begin({slot.input.get(), startOf(segment)}, startOf(segment), slot.output.get(),
                    outputRoom(), slot.result);
      slot.head = slot.result.head;
    }
    setState(slot, stateOf(segment, kHeadReady));
    if (slot.guessed) decoder.finish(stopOf(segment), isLast(segment), slot.result);
    setState(slot, stateOf(segment, kDone));
  }

  // The slot holding `segment` at least as far as `phase`, if any.
  Slot* find(std::uint32_t segment, Phase phase) {
    for (Slot& slot : slots_) {
      const std::uint32_t state = slot.state.load();
      if (phaseOf(state) != kFree && segmentOf(state) == segment && phaseOf(state) >= phase) {
        return &slot;
      }
    }
    return nullptr;
  }

  // The next segment can be written once it is decoded and the one after it can be joined on.
  bool nextIsReady() {
    const std::uint32_t next = written_.load();
    if (next >= plan_.count || find(next, kDone) == nullptr) return false;
    return isLast(next) || find(next + 1, kHeadReady) != nullptr;
  }

  // Takes the writer's role if the next segment is ready and nobody has it, and writes every
  // segment that is ready. After giving the role up it looks again: a segment that became ready
  // meanwhile may have been turned away by the role being taken.
  void writeWhatIsReady(SegmentDecoder& decoder) {
    while (status_.load() == DecodeStatus::success && nextIsReady()) {
      bool expected = false;
      if (!writing_.compare_exchange_strong(expected, true)) return;
      while (status_.load() == DecodeStatus::success && nextIsReady()) writeNext(decoder);
      writing_.store(false);
    }
  }

  // Writes segment written_, whose output is true from joinIndex_ on, or from its true start
  // turnStart_ when it did not join (redo_); then joins the segment after it.
  void writeNext(SegmentDecoder& decoder) {
    const std::uint32_t segment = written_.load();
    Slot& slot = *find(segment, kDone);
    std::size_t from = joinIndex_;
    if (redo_ || !slot.guessed) {
      decoder.begin({slot.input.get(), startOf(segment)}, turnStart_, slot.output.get(),
                    outputRoom(), slot.result);
      decoder.finish(stopOf(segment), isLast(segment), slot.result);
      from = 0;
    }
    std::size_t to = slot.result.count;
    if (!isLast(segment))
      to = joinNext(slot.result, stopOf(segment), *find(segment + 1, kHeadReady));
    if (!destination_.write(slot.output.get() + from, to - from)) {
      stop(DecodeStatus::writeFailed);
      return;
    }
    written_.store(segment + 1);
    setState(slot, kFree);
  }

  // Joins a segment whose output is true from its join on with the next one: returns where the
  // segment's output ends, and records where the next segment's true output begins.
  std::size_t joinNext(const SegmentResult& result, std::uint64_t stop, const Slot& next) {
    const unsigned common = next.guessed ? firstCommonStart(result.tail, next.head) : kEdgeBits;
    if (common < kEdgeBits) {
      joinIndex_ = codeStartsBelow(next.head, common);
      redo_ = false;
      turnStart_ = stop + common;
      failures_.store(failures_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
      return result.tailBase + codeStartsBelow(result.tail, common);
    }
    if (next.guessed) {
      failures_.store(failures_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // The tail window always holds a code start, as no code is as long as the window.
    const unsigned last = lastCodeStart(result.tail);
    joinIndex_ = 0;
    redo_ = true;
    turnStart_ = stop + last;
    return result.tailBase + codeStartsBelow(result.tail, last);
  }

  // Joins that failed this many times more often than they succeeded end the guessing.
  static constexpr int kAllowance = kFailureAllowance;
  static_assert(kEdgeBits > kLongestCodeBits);

  DecodeTable table_;
  CodeShape shape_;
  int fd_;
  std::uint64_t payloadOffset_;
  std::uint64_t bitCount_;
  SegmentPlan plan_;
  DestinationStream& destination_;
  std::array<SegmentDecoder, kThreads> decoders_;  // one for each thread

  std::array<Slot, kSlots> slots_;
  std::atomic<std::uint32_t> claimed_{0};  // segments claimed so far
  std::atomic<std::uint32_t> written_{0};  // segments written so far
  std::atomic<DecodeStatus> status_{DecodeStatus::success};
  alignas(64) std::atomic<std::uint32_t> progress_{0};
  std::atomic<std::uint32_t> sleepers_{0};
  std::atomic<int> failures_{0};  // changed only by the writer

  // The writer's role and what only the writer touches: where segment written_'s true output
  // begins, as the payload bit of a true code start and the index of that code's symbol in the
  // segment's guessed output (or redo_: the guess did not join, decode again from turnStart_).
  std::atomic<bool> writing_{false};
  std::uint64_t turnStart_ = 0;
  std::size_t joinIndex_ = 0;
  bool redo_ = false;
};

bool fitsPlan(const SegmentPlan& plan, std::uint64_t bitCount) {
  if (plan.count < 2 || plan.segmentBits % 8 != 0 || plan.segmentBits < kMinimumSegmentBits) {
    return false;
  }
  const std::uint64_t lastStart = (plan.count - 1) * plan.segmentBits;
  return lastStart <= bitCount && bitCount - lastStart >= kMinimumSegmentBits;
}

}  // namespace

SegmentPlan planSegments(const CodeShape& shape, std::int32_t bitCount, std::size_t outputBytes) {
  const auto total = static_cast<std::uint64_t>(std::max(bitCount, 0));
  const std::uint64_t align =
      std::lcm(std::uint64_t{8}, static_cast<std::uint64_t>(shape.lengthDivisor));
  // Every code takes at least `shortest` bits, so this many bits restore at most outputBytes.
  std::uint64_t bits = outputBytes * static_cast<std::uint64_t>(shape.shortest) / align * align;
  bits = std::max(bits, (kMinimumSegmentBits + align - 1) / align * align);
  auto count = static_cast<std::uint32_t>((total + bits - 1) / bits);
  // A short remainder joins the last whole segment.
  if (count > 1 && total - (count - 1) * bits < kMinimumSegmentBits) --count;
  return {bits, count};
}

std::optional<DecodeStatus> decodeInParallel(const TreeNode* root, const CodeShape& shape,
                                             SourceStream& source, std::int32_t bitCount,
                                             DestinationStream& destination,
                                             std::optional<SegmentPlan> plan) {
  if (source.descriptor() < 0 || !destination.writesToDescriptor() || bitCount <= 0) {
    return std::nullopt;
  }
  if (!plan) {
    plan = planSegments(shape, bitCount);
    if (plan->count < kMinimumSegments || processorsAvailable() < 2) return std::nullopt;
  }
  if (!fitsPlan(*plan, static_cast<std::uint64_t>(bitCount))) return std::nullopt;
  ParallelDecoder decoder(root, shape, source.descriptor(), source.position(), bitCount, *plan,
                          destination);
  return decoder.run();
}

}  // namespace ravmolt
