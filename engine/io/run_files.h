// The two files of one run, opened and closed as a careful tool does it: the source is only ever
// read; the destination is checked not to be the source before anything in it is lost, and never
// keeps partial output behind a failed run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/io/native_file.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// What a run needs to know of an open file, on every system.
struct FileFacts {
  std::uint64_t volume = 0;  // the device, or the volume's serial number
  std::uint64_t index = 0;   // the inode, or the file index: with `volume`, the file itself
  std::uint64_t size = 0;
  std::uint32_t permissions = 0666;  // POSIX: the mode's permission bits
  bool regular = false;              // an ordinary file on disk, not a folder, a device or a pipe
  bool folder = false;
  bool keepsBytes = false;  // a regular file or a block device: what is written to it stays

  bool sameFileAs(const FileFacts& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The destination as the clean-up after a failed or interrupted run sees it.
struct OpenDestination {
  const char* path = nullptr;
  NativeFile file = kNoFile;
  FileFacts facts;
  // Windows: the name the run was given is the destination itself, not a link that leads to it,
  // so removing the file through its handle removes that name.
  bool removableByHandle = false;
};

struct ListedRun;  // a run's place in the list of runs in progress (run_files.cpp)

// The paths are UTF-8 on every system. The platform's own file (run_files_posix.cpp or
// run_files_win32.cpp) holds open(), close() and the discarding of a destination; the list of
// runs in progress and the gate their writes pass are shared.
class RunFiles {
 public:
  RunFiles() = default;
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;
  ~RunFiles();

  // Opens `sourcePath` for reading, then `destinationPath` for writing, created when missing
  // (POSIX: with the source's permission bits, less the umask) and emptied when it holds
  // something. Returns success, sourceNotFound (the source cannot be opened or is a folder; the
  // destination was not touched), sameFile (both name one file, by device and inode, so links
  // count; looked at before the destination is opened for writing, so nothing was), or
  // destinationUnwritable: it cannot be opened, or another run holds its lock, or (POSIX) it is a
  // symbolic link that the kernel's protected_symlinks rule would not follow; nothing was
  // truncated. writeFailed with outOfMemory() when the run could not be listed for clean-up.
  // After a failure nothing is left open. On Windows the same file is known by its volume and
  // file index instead, and paths longer than the old limit of 260 characters work.
  [[nodiscard]] DecodeStatus open(const char* sourcePath, const char* destinationPath);
  bool outOfMemory() const { return outOfMemory_; }

  NativeFile source() const { return source_; }
  // The source's length; 0 for anything but a regular file, which has no length to trust.
  std::uint64_t sourceSize() const;

  // Writes all of `data` to the destination, from whichever thread of the run. False when a
  // write fails, or once a clean-up has begun: from then on no byte reaches a regular
  // destination. For DestinationStream's sink, with the RunFiles as context.
  static bool writeDestination(void* runFiles, const std::uint8_t* data, std::size_t size);

  // Empties and removes the destination of every run between open() and close(), as close()
  // does after a failed write, once no thread of those runs can write to it again: writes
  // already under way are waited for, later ones are refused. For a handler of a signal that
  // ends the process, on any thread: it takes no lock, allocates nothing and calls only
  // async-signal-safe functions. On Windows, for a console control handler, which runs on a
  // thread of its own: a destination that is removed is marked to be deleted when its last
  // handle closes.
  static void discardAllInProgress();

  // True when `path` names the file that `file` has open, by the same test as the same-file
  // check of open(), and that file keeps what is written to it: a regular file or a block
  // device, not a terminal, the null device or a pipe. False when either cannot be looked at.
  static bool namesOpenFile(const char* path, NativeFile file);

  // Closes both files, the source first, after a decode that ended with `status`, and returns the
  // run's outcome. After invalidFormat the destination is left empty; after writeFailed, or when
  // closing the destination fails (which can lose written bytes), or when a clean-up discarded
  // it, the outcome is writeFailed and the incomplete destination is removed when the run created
  // or truncated that regular file by the name it was given, and emptied when the name leads to
  // it through a link. A destination that is no regular file (a device, a pipe) is never removed.
  [[nodiscard]] DecodeStatus close(DecodeStatus status);

 private:
  // open() once the source is open: the destination's checks, its opening, listing and emptying.
  [[nodiscard]] DecodeStatus openDestination(const char* path);
  static void discardDestination(const OpenDestination& destination);
  static void discardListed();
  // The calls the gate makes around each write or truncation of the destination: enter() is
  // false when a clean-up has begun since the run was listed.
  bool enterWrite() const;
  void leaveWrite() const;
  // Takes a place in the list of runs in progress; publishes the destination there once it is
  // open; leaves the list, waiting for a clean-up of the run under way, and says whether one
  // discarded the destination.
  bool enlist();
  void publish();
  bool delist();

  NativeFile source_ = kNoFile;
  FileFacts sourceInfo_;
  OpenDestination destination_;
  ListedRun* listed_ = nullptr;
  bool outOfMemory_ = false;
};

}  // namespace ravmolt
