// The two files of one run, opened and closed as a careful tool does it: the source is only ever
// read; the destination is checked not to be the source before anything in it is lost, and never
// keeps partial output behind a failed run.
#pragma once

#include <cstdint>

#include "engine/io/native_file.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// What a run needs to know of an open file, on every system.
struct FileFacts {
  std::uint64_t volume = 0;  // the device, or the volume's serial number
  std::uint64_t index = 0;   // the inode, or the file index: with `volume`, the file itself
  std::uint64_t size = 0;
  bool regular = false;  // an ordinary file on disk, not a folder, a device or a pipe
  bool folder = false;

  bool sameFileAs(const FileFacts& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The paths are UTF-8 on every system. The platform's own file (run_files_posix.cpp or
// run_files_win32.cpp) holds open(), close() and the discarding of a destination; the list of
// runs in progress is shared.
class RunFiles {
 public:
  RunFiles() = default;
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;
  ~RunFiles();

  // Opens `sourcePath` for reading, then `destinationPath` for writing, created when missing and
  // emptied when it holds something. Returns success, sourceNotFound (the source cannot be
  // opened or is a folder; the destination was not touched), destinationUnwritable, or sameFile
  // (both name one file, by device and inode, so links count; nothing was truncated). After a
  // failure nothing is left open. On Windows the same file is known by its volume and file index
  // instead, and paths longer than the old limit of 260 characters work.
  [[nodiscard]] DecodeStatus open(const char* sourcePath, const char* destinationPath);

  NativeFile source() const { return source_; }
  // The source's length; 0 for anything but a regular file, which has no length to trust.
  std::uint64_t sourceSize() const;
  NativeFile destination() const { return destination_; }

  // Empties and removes the destination of every run between open() and close(), as close()
  // does after a failed write. For a handler of a signal that ends the process: it takes no lock,
  // allocates nothing and calls only async-signal-safe functions. On Windows, for a console
  // control handler, which runs on a thread of its own while the decode goes on: a destination
  // that is removed is marked to be deleted when its last handle closes, so bytes written after
  // this do not keep it.
  static void discardAllInProgress();

  // True when `path` names the file that `file` has open, by the same test as the same-file
  // check of open(); false when either cannot be looked at.
  static bool namesOpenFile(const char* path, NativeFile file);

  // Closes both files, the source first, after a decode that ended with `status`, and returns the
  // run's outcome. After invalidFormat the destination is left empty; after writeFailed, or when
  // closing the destination fails (which can lose written bytes), the outcome is writeFailed and
  // the incomplete destination is removed when the run created or truncated that regular file by
  // the name it was given, and emptied when the name leads to it through a link. A destination
  // that is no regular file (a device, a pipe) is never removed.
  [[nodiscard]] DecodeStatus close(DecodeStatus status);

 private:
  void discardDestination() const;
  // Lists the run among those in progress, or takes it off the list.
  void enlist();
  void delist();

  const char* destinationPath_ = nullptr;
  NativeFile source_ = kNoFile;
  NativeFile destination_ = kNoFile;
  FileFacts sourceInfo_;
  FileFacts destinationInfo_;
  // Windows: the name the run was given is the destination itself, not a link that leads to it,
  // so removing the file through its handle removes that name.
  bool removableByHandle_ = false;
  int listedAt_ = -1;  // its place in the list of runs in progress, if any
};

}  // namespace ravmolt
