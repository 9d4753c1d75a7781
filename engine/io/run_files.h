// The two files of one run, opened and closed as a careful tool does it: the source is only ever
// read; the destination is checked not to be the source before anything in it is lost, and never
// keeps partial output behind a failed run.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "ravmolt/decode_status.h"

namespace ravmolt {

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
  // failure nothing is left open.
  [[nodiscard]] DecodeStatus open(const char* sourcePath, const char* destinationPath);

  int source() const { return source_; }
  // The source's length; 0 for anything but a regular file, which has no length to trust.
  std::uint64_t sourceSize() const;
  int destination() const { return destination_; }

  // Empties and removes the destination of every run between open() and close(), as close()
  // does after a failed write. For a handler of a signal that ends the process: it takes no lock,
  // allocates nothing and calls only async-signal-safe functions.
  static void discardAllInProgress();

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
  int source_ = -1;
  int destination_ = -1;
  struct stat sourceInfo_ {};
  struct stat destinationInfo_ {};
  int listedAt_ = -1;  // its place in the list of runs in progress, if any
};

}  // namespace ravmolt
