// The part of RunFiles that is the same on every system: the list of runs in progress, which a
// handler of an interrupt walks to clean up after them.
#include "engine/io/run_files.h"

#include <atomic>

namespace ravmolt {
namespace {

// The runs between open() and close(). Slots of static storage start out null; a run that finds
// none free is simply not listed.
constexpr int kListed = 64;
std::atomic<const RunFiles*> inProgress[kListed];
static_assert(std::atomic<const RunFiles*>::is_always_lock_free, "a signal handler reads the list");

}  // namespace

void RunFiles::enlist() {
  for (int slot = 0; slot < kListed; ++slot) {
    const RunFiles* expected = nullptr;
    if (inProgress[slot].compare_exchange_strong(expected, this)) {
      listedAt_ = slot;
      return;
    }
  }
}

void RunFiles::delist() {
  if (listedAt_ >= 0) inProgress[listedAt_].store(nullptr);
  listedAt_ = -1;
}

void RunFiles::discardAllInProgress() {
  for (auto& slot : inProgress) {
    if (const RunFiles* run = slot.load()) run->discardDestination();
  }
}

std::uint64_t RunFiles::sourceSize() const { return sourceInfo_.regular ? sourceInfo_.size : 0; }

}  // namespace ravmolt
