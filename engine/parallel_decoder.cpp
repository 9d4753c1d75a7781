#include "engine/parallel_decoder.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <numeric>

#include "engine/decode_table.h"
#include "engine/segment_decoder.h"

namespace ravmolt {
namespace {

// A payload of fewer segments is not worth a second thread.
constexpr std::uint32_t kMinimumSegments = 4;
// Turn and readiness values once a thread has stopped the run.
constexpr std::uint32_t kStopped = UINT32_MAX;
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

// Waits until `value` holds `wanted`; false when the run was stopped instead.
bool awaitValue(const std::atomic<std::uint32_t>& value, std::uint32_t wanted) {
  for (int spin = 0;; ++spin) {
    const std::uint32_t now = value.load(std::memory_order_acquire);
    if (now == wanted) return true;
    if (now == kStopped) return false;
    if (spin < kSpins) {
      __builtin_ia32_pause();
    } else {
      value.wait(now, std::memory_order_acquire);
    }
  }
}

// Moves `value` on from `from` to `to`, unless the run was stopped meanwhile.
void advance(std::atomic<std::uint32_t>& value, std::uint32_t from, std::uint32_t to) {
  value.compare_exchange_strong(from, to, std::memory_order_acq_rel);
  value.notify_all();
}

class ParallelDecoder {
 public:
  ParallelDecoder(const TreeNode* root, const CodeShape& shape, int fd, std::uint64_t payloadOffset,
                  std::int32_t bitCount, const SegmentPlan& plan, DestinationStream& destination)
      : root_(root),
        shape_(shape),
        fd_(fd),
        payloadOffset_(payloadOffset),
        bitCount_(static_cast<std::uint64_t>(bitCount)),
        plan_(plan),
        destination_(destination) {
    table_.build(root);
  }

  std::optional<DecodeStatus> run() {
    pthread_t worker;
    if (::pthread_create(&worker, nullptr, &workerMain, this) != 0) return std::nullopt;
    work(0);
    ::pthread_join(worker, nullptr);
    return status_.load();
  }

 private:
  // What a segment's owner publishes, once it has guessed, for the previous segment's join.
  struct alignas(64) Head {
    std::atomic<std::uint32_t> ready{0};  // 1 + the segment whose head is here
    bool guessed = false;                 // false: decoding waited for a true start; no map
    EdgeMap map{};
  };

  static void* workerMain(void* self) {
    static_cast<ParallelDecoder*>(self)->work(1);
    return nullptr;
  }

  std::uint64_t startOf(std::uint32_t segment) const { return segment * plan_.segmentBits; }
  std::uint64_t stopOf(std::uint32_t segment) const {
    return segment + 1 == plan_.count ? bitCount_ : startOf(segment + 1);
  }
  std::uint64_t longestSegmentBits() const {
    return std::max(plan_.segmentBits, bitCount_ - startOf(plan_.count - 1));
  }

  // Ends the run for both threads; the first reason given is the one reported.
  void stop(DecodeStatus status) {
    DecodeStatus expected = DecodeStatus::success;
    status_.compare_exchange_strong(expected, status);
    turn_.store(kStopped, std::memory_order_release);
    turn_.notify_all();
    for (Head& head : heads_) {
      head.ready.store(kStopped, std::memory_order_release);
      head.ready.notify_all();
    }
  }

  // Decodes, joins and writes segments `role`, `role` + 2, ...
  void work(unsigned role) {
    const std::uint64_t payloadBytes = (bitCount_ + 7) / 8;
    const std::size_t inputBytes =
        static_cast<std::size_t>(longestSegmentBits() / 8) + kTailReadBytes + 1;
    const std::size_t room = SegmentDecoder::outputRoom(longestSegmentBits(), shape_);
    // Buffers are reused from segment to segment: fresh memory is slow to touch the first time.
    const auto input = std::make_unique_for_overwrite<std::uint8_t[]>(inputBytes);
    const auto output = std::make_unique_for_overwrite<std::uint8_t[]>(room);
    SegmentDecoder decoder(table_, root_, shape_);
    Head& head = heads_[role];
    const Head& nextHead = heads_[role ^ 1];

    for (std::uint32_t segment = role; segment < plan_.count; segment += 2) {
      const std::uint64_t start = startOf(segment);
      const std::uint64_t stop = stopOf(segment);
      const bool last = segment + 1 == plan_.count;
      const std::uint64_t endByte = last ? payloadBytes : stop / 8 + kTailReadBytes;
      if (!readFully(fd_, input.get(), static_cast<std::size_t>(endByte - start / 8),
                     payloadOffset_ + start / 8)) {
        this->stop(DecodeStatus::invalidFormat);  // the source shrank after it was checked
        return;
      }
      const SegmentInput in{input.get(), start};

      // Guess: decode from the segment's start before its true start is known.
      const bool guess = segment == 0 || failures_.load(std::memory_order_relaxed) <= kAllowance;
      SegmentResult result;
      if (guess) decoder.begin(in, start, output.get(), room, result);
      head.guessed = guess && segment > 0;
      head.map = result.head;
      advance(head.ready, segment < 2 ? 0 : segment - 1, segment + 1);
      if (guess) decoder.finish(stop, last, result);

      if (!awaitValue(turn_, segment)) return;
      std::size_t from = joinIndex_;
      if (redo_) {  // the guess did not join (or was not made): decode from a true boundary
        decoder.begin(in, redoBit_, output.get(), room, result);
        decoder.finish(stop, last, result);
        from = 0;
      }
      std::size_t to = result.count;
      if (!last) {
        if (!awaitValue(nextHead.ready, segment + 2)) return;
        to = joinNext(result, stop, nextHead);
      }
      if (!destination_.write(output.get() + from, to - from)) {
        this->stop(DecodeStatus::writeFailed);
        return;
      }
      advance(turn_, segment, segment + 1);
    }
  }

  // Joins a segment whose output is true from its join on with the next one: returns where the
  // segment's output ends, and records where the next segment's begins.
  std::size_t joinNext(const SegmentResult& result, std::uint64_t stop, const Head& next) {
    const unsigned common = next.guessed ? firstCommonStart(result.tail, next.map) : kEdgeBits;
    if (common < kEdgeBits) {
      joinIndex_ = codeStartsBelow(next.map, common);
      redo_ = false;
      failures_.store(failures_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
      return result.tailBase + codeStartsBelow(result.tail, common);
    }
    // The tail window always holds a code start, as no code is as long as the window.
    const unsigned last = lastCodeStart(result.tail);
    joinIndex_ = 0;
    redo_ = true;
    redoBit_ = stop + last;
    if (next.guessed) {
      failures_.store(failures_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    return result.tailBase + codeStartsBelow(result.tail, last);
  }

  // Joins that failed this many times more often than they succeeded end the guessing.
  static constexpr int kAllowance = kFailureAllowance;
  static_assert(kEdgeBits > kLongestCodeBits);

  DecodeTable table_;
  const TreeNode* root_;
  CodeShape shape_;
  int fd_;
  std::uint64_t payloadOffset_;
  std::uint64_t bitCount_;
  SegmentPlan plan_;
  DestinationStream& destination_;

  std::atomic<DecodeStatus> status_{DecodeStatus::success};
  std::atomic<int> failures_{0};  // changed only by the thread whose turn it is
  Head heads_[2];
  alignas(64) std::atomic<std::uint32_t> turn_{0};  // the next segment to be written
  // Where segment turn_'s true output begins; set by the writer of the one before.
  std::size_t joinIndex_ = 0;  // an index into its guessed output
  bool redo_ = false;          // or: its guess did not join; decode again from redoBit_
  std::uint64_t redoBit_ = 0;
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
