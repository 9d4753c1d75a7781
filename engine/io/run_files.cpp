#include "engine/io/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ravmolt {
namespace {

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
  return status;
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
    closeDescriptor(destination_);
    return status;
  }
  if (!closeDescriptor(destination_)) {
    discardDestination();
    return DecodeStatus::writeFailed;
  }
  return status;
}

// Removes what a failed run left at the destination's name, but only the regular file it wrote;
// reached through a link, that file is emptied instead, and anything else is left alone.
void RunFiles::discardDestination() {
  if (!S_ISREG(destinationInfo_.st_mode)) return;
  struct stat atPath;
  if (::lstat(destinationPath_, &atPath) == 0 && sameInode(atPath, destinationInfo_)) {
    ::unlink(destinationPath_);
  } else if (destination_ >= 0) {
    (void)::ftruncate(destination_, 0);
  }
}

}  // namespace ravmolt
