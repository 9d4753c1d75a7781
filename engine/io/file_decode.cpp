#include "engine/io/file_decode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/decompressor.h"

namespace ravmolt {
namespace {

// Closes the descriptor it holds when it goes out of scope, unless release() took it.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded; a failed close can lose written data.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

bool sameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes what a failed run left at `path`, but only the regular file it wrote through `written`;
// anything else there (a device, a link to elsewhere) is emptied or left alone, never unlinked.
void discardDestination(const char* path, const struct stat& written, int fd) {
  if (!S_ISREG(written.st_mode)) return;
  struct stat atPath;
  if (::lstat(path, &atPath) == 0 && sameInode(atPath, written)) {
    ::unlink(path);
  } else if (fd >= 0) {
    (void)::ftruncate(fd, 0);  // reached through a link: keep the file, drop the partial output
  }
}

}  // namespace

DecodeStatus decodeFile(const char* sourcePath, const char* destinationPath) {
  Descriptor source(::open(sourcePath, O_RDONLY | O_CLOEXEC));
  struct stat sourceInfo;
  if (!source.valid() || ::fstat(source.get(), &sourceInfo) != 0 || S_ISDIR(sourceInfo.st_mode)) {
    return DecodeStatus::sourceNotFound;
  }

  // Opened without truncation so that the same-file check comes before anything is lost.
  Descriptor destination(::open(destinationPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  struct stat destinationInfo;
  if (!destination.valid() || ::fstat(destination.get(), &destinationInfo) != 0) {
    return DecodeStatus::destinationUnwritable;
  }
  if (sameInode(sourceInfo, destinationInfo)) return DecodeStatus::sameFile;
  // Only a file that holds something is truncated: a file system may treat a truncated file
  // that is then rewritten as a replacement, and start writing it out to disk on close.
  if (S_ISREG(destinationInfo.st_mode) && destinationInfo.st_size > 0 &&
      ::ftruncate(destination.get(), 0) != 0) {
    return DecodeStatus::destinationUnwritable;
  }

  const auto sourceSize =
      S_ISREG(sourceInfo.st_mode) ? static_cast<std::uint64_t>(sourceInfo.st_size) : 0;
  DecodeStatus status;
  {
    SourceStream input(source.get(), sourceSize);
    DestinationStream output(destination.get());
    status = Decompressor(input, output).decode();
    source.close();
    if (status != DecodeStatus::invalidFormat && !output.flush()) {
      status = DecodeStatus::writeFailed;
    }
  }

  if (status == DecodeStatus::invalidFormat) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    if (S_ISREG(destinationInfo.st_mode)) (void)::ftruncate(destination.get(), 0);
  }
  if (status == DecodeStatus::writeFailed) {
    discardDestination(destinationPath, destinationInfo, destination.get());
    return status;
  }
  if (!destination.close()) {
    discardDestination(destinationPath, destinationInfo, -1);
    return DecodeStatus::writeFailed;
  }
  return status;
}

}  // namespace ravmolt
