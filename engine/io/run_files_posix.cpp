#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/io/buffer.h"
#include "engine/io/run_files.h"

namespace ravmolt {
namespace {

FileFacts factsOf(const struct stat& info) {
  FileFacts facts;
  facts.volume = static_cast<std::uint64_t>(info.st_dev);
  facts.index = static_cast<std::uint64_t>(info.st_ino);
  facts.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  facts.permissions = static_cast<std::uint32_t>(info.st_mode & 0777);
  facts.regular = S_ISREG(info.st_mode);
  facts.folder = S_ISDIR(info.st_mode);
  facts.keepsBytes = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
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

// Holds back every signal from this thread for the scope, so that a handler's clean-up finds the
// run either not yet begun or with its destination listed, and never waits on a write of the
// thread it runs on.
class SignalsHeld {
 public:
  explicit SignalsHeld(bool hold = true) {
    sigset_t all;
    sigfillset(&all);
    held_ = hold && ::pthread_sigmask(SIG_BLOCK, &all, &previous_) == 0;
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld() {
    if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t previous_;
  bool held_ = false;
};

// A symbolic link that the kernel's protected_symlinks rule would not follow, whether or not the
// machine enforces it: one in a sticky folder that anyone may write to, owned neither by this
// process's user nor by the folder's owner, as a link another user planted for it would be.
// False when `path` is no link; true when it is one whose folder cannot be looked at.
bool isPlantedLink(const char* path) {
  struct stat link;
  if (::lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) return false;
  if (link.st_uid == ::geteuid()) return false;
  const char* slash = std::strrchr(path, '/');
  const std::size_t length = slash == nullptr ? 1 : static_cast<std::size_t>(slash - path) + 1;
  auto folder = allocateArray<char>(length + 1);
  if (!folder) return true;
  std::memcpy(folder.get(), slash == nullptr ? "." : path, length);
  folder[length] = '\0';
  struct stat info;
  if (::stat(folder.get(), &info) != 0) return true;
  const bool shared = (info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0;
  return shared && link.st_uid != info.st_uid;
}

}  // namespace

RunFiles::~RunFiles() {
  (void)delist();
  closeDescriptor(source_);
  closeDescriptor(destination_.file);
}

DecodeStatus RunFiles::open(const char* sourcePath, const char* destinationPath) {
  if (!enlist()) {
    outOfMemory_ = true;
    return DecodeStatus::writeFailed;
  }
  const int source = ::open(sourcePath, O_RDONLY | O_CLOEXEC);
  if (source >= 0) source_ = source;
  if (source < 0 || !factsOfDescriptor(source, sourceInfo_) || sourceInfo_.folder) {
    (void)delist();
    closeDescriptor(source_);
    return DecodeStatus::sourceNotFound;
  }
  // Looked at before the destination is opened for writing, which a read-only source would
  // refuse. Only the opening of a regular file, or of a new one, holds signals back: a pipe's
  // may wait for its reader, and a signal must still end that wait.
  struct stat named;
  const bool exists = ::stat(destinationPath, &named) == 0;
  if (exists && factsOf(named).sameFileAs(sourceInfo_)) {
    (void)delist();
    closeDescriptor(source_);
    return DecodeStatus::sameFile;
  }
  const SignalsHeld held(!exists || S_ISREG(named.st_mode));
  const DecodeStatus status = openDestination(destinationPath);
  if (status != DecodeStatus::success) {
    (void)delist();  // before the descriptor's number can be another file's
    closeDescriptor(source_);
    closeDescriptor(destination_.file);
  }
  return status;
}

// Opened without truncation, listed, then emptied, with signals held back on this thread: a
// clean-up in between, on another thread, finds it listed and untouched, and leaves it as it was.
DecodeStatus RunFiles::openDestination(const char* path) {
  if (isPlantedLink(path)) return DecodeStatus::destinationUnwritable;
  const int destination = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, sourceInfo_.permissions);
  if (destination < 0) return DecodeStatus::destinationUnwritable;
  // Held from here on, whatever the file turned out to be: a handler on this thread must never
  // wait for a truncation that this thread is in the middle of.
  const SignalsHeld held;
  destination_.file = destination;
  destination_.path = path;
  if (!factsOfDescriptor(destination, destination_.facts)) {
    return DecodeStatus::destinationUnwritable;
  }
  if (sourceInfo_.sameFileAs(destination_.facts)) return DecodeStatus::sameFile;
  // Another run restoring into this file would mix its output with this one's. The lock binds
  // only runs of this library; a file system without locks is written all the same.
  if (destination_.facts.regular && ::flock(destination, LOCK_EX | LOCK_NB) != 0 &&
      errno == EWOULDBLOCK) {
    return DecodeStatus::destinationUnwritable;
  }
  publish();
  if (!enterWrite()) return DecodeStatus::destinationUnwritable;
  // Only a file that holds something is truncated: a file system may treat a truncated file
  // that is then rewritten as a replacement, and start writing it out to disk on close.
  const bool emptied = !destination_.facts.regular || destination_.facts.size == 0 ||
                       ::ftruncate(destination, 0) == 0;
  leaveWrite();
  return emptied ? DecodeStatus::success : DecodeStatus::destinationUnwritable;
}

bool RunFiles::writeDestination(void* runFiles, const std::uint8_t* data, std::size_t size) {
  const auto* files = static_cast<const RunFiles*>(runFiles);
  const SignalsHeld held;
  if (!files->enterWrite()) return false;
  const bool written = writeFileFully(files->destination_.file, data, size);
  files->leaveWrite();
  return written;
}

void RunFiles::discardAllInProgress() {
  const SignalsHeld held;  // a second signal's handler would wait for this one on its own thread
  discardListed();
}

bool RunFiles::namesOpenFile(const char* path, NativeFile file) {
  FileFacts open;
  struct stat named;
  return factsOfDescriptor(static_cast<int>(file), open) && open.keepsBytes &&
         ::stat(path, &named) == 0 && factsOf(named).sameFileAs(open);
}

DecodeStatus RunFiles::close(DecodeStatus status) {
  const SignalsHeld held;
  closeDescriptor(source_);
  const int destination = static_cast<int>(destination_.file);
  if (status == DecodeStatus::invalidFormat && destination_.facts.regular && enterWrite()) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    (void)::ftruncate(destination, 0);
    leaveWrite();
  }
  if (delist() && status == DecodeStatus::success) status = DecodeStatus::writeFailed;
  if (status == DecodeStatus::writeFailed) {
    discardDestination(destination_);
    closeDescriptor(destination_.file);
    return status;
  }
  // A close that fails can have lost written bytes, and takes the descriptor with it: a second
  // one is kept to empty the file through, whatever name reaches it.
  const int spare = destination_.facts.regular ? ::dup(destination) : -1;
  if (!closeDescriptor(destination_.file)) {
    if (spare >= 0) destination_.file = spare;
    discardDestination(destination_);
    closeDescriptor(destination_.file);
    return DecodeStatus::writeFailed;
  }
  if (spare >= 0) ::close(spare);
  return status;
}

// Empties what a failed run left in the destination, then removes the name it was given when
// that name is the file itself; reached through a link, the file is only emptied. Only a regular
// file is touched, never a device or a pipe. The file is emptied first so that no other hard link
// keeps partial output. Async-signal-safe.
void RunFiles::discardDestination(const OpenDestination& destination) {
  if (!destination.facts.regular) return;
  if (destination.file != kNoFile) (void)::ftruncate(static_cast<int>(destination.file), 0);
  struct stat atPath;
  if (::lstat(destination.path, &atPath) == 0 && factsOf(atPath).sameFileAs(destination.facts)) {
    ::unlink(destination.path);
  }
}

}  // namespace ravmolt
