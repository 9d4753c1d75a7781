#include "engine/io/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace ravmolt {
namespace {

// The runs between open() and close(), for a signal handler to clean up after. Slots of static
// storage start out null; a run that finds none free is simply not listed.
constexpr int kListed = 64;
std::atomic<const RunFiles*> inProgress[kListed];
static_assert(std::atomic<const RunFiles*>::is_always_lock_free, "a signal handler reads the list");

bool sameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Closes `fd` and reports whether the close succeeded; a failed close can lose written data.
bool closeDescriptor(int& fd) {
  if (fd < 0) return true;
  const int closing = fd;
  fd = -1;
  return ::close(closing) == 0 || errno == EINTR;
}

}  // namespace

RunFiles::~RunFiles() {
  delist();
  closeDescriptor(source_);
  closeDescriptor(destination_);
}

DecodeStatus RunFiles::open(const char* sourcePath, const char* destinationPath) {
  source_ = ::open(sourcePath, O_RDONLY | O_CLOEXEC);
  if (source_ < 0 || ::fstat(source_, &sourceInfo_) != 0 || S_ISDIR(sourceInfo_.st_mode)) {
    closeDescriptor(source_);
    return DecodeStatus::sourceNotFound;
  }
  // Opened without truncation so that the same-file check comes before anything is lost.
  destination_ = ::open(destinationPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  DecodeStatus status = DecodeStatus::success;
  if (destination_ < 0 || ::fstat(destination_, &destinationInfo_) != 0) {
    status = DecodeStatus::destinationUnwritable;
  } else if (sameInode(sourceInfo_, destinationInfo_)) {
    status = DecodeStatus::sameFile;
  } else if (S_ISREG(destinationInfo_.st_mode) && destinationInfo_.st_size > 0 &&
             ::ftruncate(destination_, 0) != 0) {
    // Only a file that holds something is truncated: a file system may treat a truncated file
    // that is then rewritten as a replacement, and start writing it out to disk on close.
    status = DecodeStatus::destinationUnwritable;
  }
  if (status != DecodeStatus::success) {
    closeDescriptor(source_);
    closeDescriptor(destination_);
    return status;
  }
  destinationPath_ = destinationPath;
  enlist();
  return status;
}

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

std::uint64_t RunFiles::sourceSize() const {
  return S_ISREG(sourceInfo_.st_mode) ? static_cast<std::uint64_t>(sourceInfo_.st_size) : 0;
}

DecodeStatus RunFiles::close(DecodeStatus status) {
  closeDescriptor(source_);
  if (status == DecodeStatus::invalidFormat && S_ISREG(destinationInfo_.st_mode)) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    (void)::ftruncate(destination_, 0);
  }
  if (status == DecodeStatus::writeFailed) {
    discardDestination();
    delist();
    closeDescriptor(destination_);
    return status;
  }
  // A close that fails can have lost written bytes, and takes the descriptor with it: a second
  // one is kept to empty the file through, whatever name reaches it.
  const int spare = S_ISREG(destinationInfo_.st_mode) ? ::dup(destination_) : -1;
  delist();
  if (!closeDescriptor(destination_)) {
    destination_ = spare;
    discardDestination();
    closeDescriptor(destination_);
    return DecodeStatus::writeFailed;
  }
  if (spare >= 0) ::close(spare);
  return status;
}

// Empties what a failed run left in the destination, then removes the name it was given when
// that name is the file itself; reached through a link, the file is only emptied. Only a regular
// file is touched, never a device or a pipe. The file is emptied first so that no other hard link
// keeps partial output. Async-signal-safe.
void RunFiles::discardDestination() const {
  if (!S_ISREG(destinationInfo_.st_mode)) return;
  if (destination_ >= 0) (void)::ftruncate(destination_, 0);
  struct stat atPath;
  if (::lstat(destinationPath_, &atPath) == 0 && sameInode(atPath, destinationInfo_)) {
    ::unlink(destinationPath_);
  }
}

}  // namespace ravmolt
