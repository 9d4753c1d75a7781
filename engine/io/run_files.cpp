// The part of RunFiles that is the same on every system: the list of runs in progress, which a
// handler of an interrupt walks to clean up after them, and the gate that the writes of a run
// pass, which lets the clean-up stop them first.
#include "engine/io/run_files.h"

#include <atomic>
#include <new>

#include "engine/io/buffer.h"
#include "engine/platform/threads.h"

namespace ravmolt {
namespace {

// A place in the list. Places live in static storage or in blocks that are never freed, so a
// handler that reads one never reads memory that has gone. A place moves only this way:
//   free -> claimed        by a run, which then owns it;
//   claimed -> listed      by its run, once the destination (a regular file) is open and copied
//                          here; a run whose destination is no regular file is never listed, as
//                          there is nothing of it to discard;
//   listed -> discarding   by a clean-up, which then alone reads the copy, waits for the run's
//                          writes under way, and discards the destination if the run touched it;
//   discarding -> discarded by that clean-up;
//   listed, claimed or discarded -> free  by its run, which waits while a clean-up is discarding.
enum Place : std::uint32_t { kFree, kClaimed, kListed, kDiscarding, kDiscarded };

}  // namespace

struct ListedRun {
  std::atomic<std::uint32_t> place{kFree};
  std::atomic<std::uint32_t> writers{0};  // writes and truncations of the run under way
  std::atomic<bool> touched{false};       // the run has truncated or written its destination
  std::uint64_t cleanUpsBefore = 0;       // clean-ups begun before the run claimed the place
  OpenDestination destination;
};

namespace {

constexpr int kPlacesPerBlock = 64;
struct Block {
  ListedRun places[kPlacesPerBlock];
  std::atomic<Block*> next{nullptr};
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "a signal handler uses the list");
static_assert(std::atomic<Block*>::is_always_lock_free, "a signal handler walks the blocks");

Block firstBlock;
// Clean-ups begun: a write checks that none has begun since its run claimed its place, so that a
// clean-up stops every run at once, before it looks at any of them.
std::atomic<std::uint64_t> cleanUps{0};

// A free place, in a new block when every one is taken; null when no memory could be had.
ListedRun* claimPlace() {
  for (Block* block = &firstBlock;;) {
    for (ListedRun& run : block->places) {
      std::uint32_t expected = kFree;
      if (run.place.compare_exchange_strong(expected, kClaimed)) return &run;
    }
    Block* next = block->next.load();
    if (next == nullptr) {
      auto memory = allocateArray<std::uint8_t>(sizeof(Block));
      if (!memory) return nullptr;
      Block* fresh = new (memory.get()) Block;
      if (block->next.compare_exchange_strong(next, fresh)) {
        next = fresh;
        (void)memory.release();  // kept for good: a handler may walk it at any time
      } else {
        fresh->~Block();  // another run added one first: `next` is that one
      }
    }
    block = next;
  }
}

}  // namespace

bool RunFiles::enlist() {
  listed_ = claimPlace();
  if (listed_ == nullptr) return false;
  listed_->touched.store(false);
  listed_->cleanUpsBefore = cleanUps.load();
  return true;
}

void RunFiles::publish() {
  if (!destination_.facts.regular) return;
  listed_->destination = destination_;
  listed_->place.store(kListed);
}

bool RunFiles::delist() {
  if (listed_ == nullptr) return false;
  std::uint32_t place = listed_->place.load();
  while (place == kDiscarding ||
         (place == kListed && !listed_->place.compare_exchange_strong(place, kClaimed))) {
    if (place == kDiscarding) {
      letOthersRun();
      place = listed_->place.load();
    }
  }
  const bool discarded = place == kDiscarded;
  listed_->place.store(kFree);
  listed_ = nullptr;
  return discarded;
}

bool RunFiles::enterWrite() const {
  listed_->writers.fetch_add(1);
  if (destination_.facts.regular && cleanUps.load() != listed_->cleanUpsBefore) {
    listed_->writers.fetch_sub(1);
    return false;
  }
  listed_->touched.store(true);
  return true;
}

void RunFiles::leaveWrite() const { listed_->writers.fetch_sub(1); }

// Every run is stopped before any is looked at; a run listed meanwhile has claimed its place
// after the count moved on, and is not stopped. A place that another clean-up is discarding is
// waited for, so that whichever handler returns first, the process ends with nothing left.
void RunFiles::discardListed() {
  cleanUps.fetch_add(1);
  for (Block* block = &firstBlock; block != nullptr; block = block->next.load()) {
    for (ListedRun& run : block->places) {
      std::uint32_t place = kListed;
      if (run.place.compare_exchange_strong(place, kDiscarding)) {
        while (run.writers.load() != 0) letOthersRun();
        if (run.touched.load()) discardDestination(run.destination);
        run.place.store(kDiscarded);
      }
      while (run.place.load() == kDiscarding) letOthersRun();
    }
  }
}

std::uint64_t RunFiles::sourceSize() const { return sourceInfo_.regular ? sourceInfo_.size : 0; }

}  // namespace ravmolt
