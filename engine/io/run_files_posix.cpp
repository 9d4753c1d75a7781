#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/io/run_files.h"

namespace ravmolt {
namespace {

FileFacts factsOf(const struct stat& info) {
  FileFacts facts;
  facts.volume = static_cast<std::uint64_t>(info.st_dev);
  facts.index = static_cast<std::uint64_t>(info.st_ino);
  facts.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  facts.regular = S_ISREG(info.st_mode);
  facts.folder = S_ISDIR(info.st_mode);
  return facts;
}

bool factsOfDescriptor(int fd, FileFacts& facts) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  facts = factsOf(info);
  return true;
}

// Closes `file` and reports whether the close succeeded; a failed close can lose written data.
bool closeDescriptor(NativeFile& file) {
  if (file == kNoFile) return true;
  const int closing = static_cast<int>(file);
  file = kNoFile;
  return ::close(closing) == 0 || errno == EINTR;
}

}  // namespace

RunFiles::~RunFiles() {
  delist();
  closeDescriptor(source_);
  closeDescriptor(destination_);
}

DecodeStatus RunFiles::open(const char* sourcePath, const char* destinationPath) {
  const int source = ::open(sourcePath, O_RDONLY | O_CLOEXEC);
  if (source >= 0) source_ = source;
  if (source < 0 || !factsOfDescriptor(source, sourceInfo_) || sourceInfo_.folder) {
    closeDescriptor(source_);
    return DecodeStatus::sourceNotFound;
  }
  // Opened without truncation so that the same-file check comes before anything is lost.
  const int destination = ::open(destinationPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (destination >= 0) destination_ = destination;
  DecodeStatus status = DecodeStatus::success;
  if (destination < 0 || !factsOfDescriptor(destination, destinationInfo_)) {
    status = DecodeStatus::destinationUnwritable;
  } else if (sourceInfo_.sameFileAs(destinationInfo_)) {
    status = DecodeStatus::sameFile;
  } else if (destinationInfo_.regular && destinationInfo_.size > 0 &&
             ::ftruncate(destination, 0) != 0) {
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

bool RunFiles::namesOpenFile(const char* path, NativeFile file) {
  FileFacts open;
  struct stat named;
  return factsOfDescriptor(static_cast<int>(file), open) && ::stat(path, &named) == 0 &&
         factsOf(named).sameFileAs(open);
}

DecodeStatus RunFiles::close(DecodeStatus status) {
  closeDescriptor(source_);
  const int destination = static_cast<int>(destination_);
  if (status == DecodeStatus::invalidFormat && destinationInfo_.regular) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    (void)::ftruncate(destination, 0);
  }
  if (status == DecodeStatus::writeFailed) {
    discardDestination();
    delist();
    closeDescriptor(destination_);
    return status;
  }
  // A close that fails can have lost written bytes, and takes the descriptor with it: a second
  // one is kept to empty the file through, whatever name reaches it.
  const int spare = destinationInfo_.regular ? ::dup(destination) : -1;
  delist();
  if (!closeDescriptor(destination_)) {
    if (spare >= 0) destination_ = spare;
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
  if (!destinationInfo_.regular) return;
  if (destination_ != kNoFile) (void)::ftruncate(static_cast<int>(destination_), 0);
  struct stat atPath;
  if (::lstat(destinationPath_, &atPath) == 0 && factsOf(atPath).sameFileAs(destinationInfo_)) {
    ::unlink(destinationPath_);
  }
}

}  // namespace ravmolt
