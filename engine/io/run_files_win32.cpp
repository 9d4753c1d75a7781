#include <windows.h>

#include "engine/io/run_files.h"
#include "engine/platform/wide_path.h"

namespace ravmolt {
namespace {

// Other programs may read, write, rename and delete either file while the run has it open, as on
// systems without sharing modes.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handleOf(NativeFile file) { return reinterpret_cast<HANDLE>(file); }
NativeFile nativeOf(HANDLE handle) { return reinterpret_cast<NativeFile>(handle); }

// A file on disk is known by its volume's serial number and its index on that volume, the same
// whichever name, hard link, symbolic link or drive alias reached it. Anything else (a console,
// NUL, a pipe) is told apart by its handle alone.
bool factsOfHandle(HANDLE handle, FileFacts& facts) {
  facts = FileFacts{};
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    facts.volume = ~std::uint64_t{0};
    facts.index = static_cast<std::uint64_t>(nativeOf(handle));
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  facts.volume = info.dwVolumeSerialNumber;
  facts.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.regular = !facts.folder;
  facts.keepsBytes = facts.regular;
  return true;
}

bool truncateToEmpty(HANDLE handle) {
  FILE_END_OF_FILE_INFO end{};
  return ::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool closeFile(NativeFile& file) {
  if (file == kNoFile) return true;
  const HANDLE closing = handleOf(file);
  file = kNoFile;
  return ::CloseHandle(closing) != 0;
}

// Opens `path` for writing, created when missing and not truncated, with the right to delete it
// where that is granted (a folder may forbid it; a device has none).
HANDLE openForWriting(const wchar_t* path, bool& deletable) {
  deletable = true;
  HANDLE handle = ::CreateFileW(path, GENERIC_WRITE | DELETE, kShareAll, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    deletable = false;
    handle = ::CreateFileW(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return handle;
}

// The lock that keeps a second run out is on a byte far past any file's end: Windows' locks bind
// every program's reads and writes of the bytes they cover, and no program touches that one.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

bool lockForTheRun(HANDLE handle) {
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  return ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ||
         ::GetLastError() != ERROR_LOCK_VIOLATION;
}

}  // namespace

RunFiles::~RunFiles() {
  (void)delist();
  closeFile(source_);
  closeFile(destination_.file);
}

DecodeStatus RunFiles::open(const char* sourcePath, const char* destinationPath) {
  if (!enlist()) {
    outOfMemory_ = true;
    return DecodeStatus::writeFailed;
  }
  // A folder cannot be opened this way (that needs FILE_FLAG_BACKUP_SEMANTICS): not found.
  const WidePath sourceName(sourcePath);
  const HANDLE source = sourceName
                            ? ::CreateFileW(sourceName.get(), GENERIC_READ, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                            : INVALID_HANDLE_VALUE;
  if (source != INVALID_HANDLE_VALUE) source_ = nativeOf(source);
  DecodeStatus status = DecodeStatus::success;
  if (source == INVALID_HANDLE_VALUE || !factsOfHandle(source, sourceInfo_) || sourceInfo_.folder) {
    status = DecodeStatus::sourceNotFound;
  } else if (namesOpenFile(destinationPath, source_)) {
    status = DecodeStatus::sameFile;  // looked at before the destination is opened for writing
  } else {
    status = openDestination(destinationPath);
  }
  if (status != DecodeStatus::success) {
    (void)delist();  // before the handle's value can be another file's
    closeFile(source_);
    closeFile(destination_.file);
  }
  return status;
}

// Opened without truncation, listed, then emptied: a clean-up in between finds it untouched.
DecodeStatus RunFiles::openDestination(const char* path) {
  const WidePath name(path);
  bool deletable = false;
  const HANDLE destination = name ? openForWriting(name.get(), deletable) : INVALID_HANDLE_VALUE;
  if (destination == INVALID_HANDLE_VALUE) return DecodeStatus::destinationUnwritable;
  destination_.file = nativeOf(destination);
  destination_.path = path;
  if (!factsOfHandle(destination, destination_.facts)) return DecodeStatus::destinationUnwritable;
  if (sourceInfo_.sameFileAs(destination_.facts)) return DecodeStatus::sameFile;
  if (destination_.facts.regular && !lockForTheRun(destination)) {
    return DecodeStatus::destinationUnwritable;  // another run is restoring into it
  }
  // Reached through a symbolic link or a junction, the file is only emptied after a failure, as
  // on other systems: deleting by handle would delete the target and keep the dangling link.
  const DWORD attributes = ::GetFileAttributesW(name.get());
  destination_.removableByHandle = deletable && destination_.facts.regular &&
                                   attributes != INVALID_FILE_ATTRIBUTES &&
                                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  publish();
  if (!enterWrite()) return DecodeStatus::destinationUnwritable;
  const bool emptied =
      !destination_.facts.regular || destination_.facts.size == 0 || truncateToEmpty(destination);
  leaveWrite();
  return emptied ? DecodeStatus::success : DecodeStatus::destinationUnwritable;
}

bool RunFiles::writeDestination(void* runFiles, const std::uint8_t* data, std::size_t size) {
  const auto* files = static_cast<const RunFiles*>(runFiles);
  if (!files->enterWrite()) return false;
  const bool written = writeFileFully(files->destination_.file, data, size);
  files->leaveWrite();
  return written;
}

// Console control handlers run on a thread of their own, never inside a write of the run.
void RunFiles::discardAllInProgress() { discardListed(); }

// Only a file on disk can be named: a console or a pipe has no name to compare.
bool RunFiles::namesOpenFile(const char* path, NativeFile file) {
  FileFacts open;
  if (file == kNoFile || ::GetFileType(handleOf(file)) != FILE_TYPE_DISK ||
      !factsOfHandle(handleOf(file), open)) {
    return false;
  }
  const WidePath name(path);
  // No access is asked for: looking at the file needs none, and folders open this way too.
  const HANDLE named = name ? ::CreateFileW(name.get(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                            : INVALID_HANDLE_VALUE;
  if (named == INVALID_HANDLE_VALUE) return false;
  FileFacts facts;
  const bool same = factsOfHandle(named, facts) && facts.sameFileAs(open);
  ::CloseHandle(named);
  return same;
}

DecodeStatus RunFiles::close(DecodeStatus status) {
  closeFile(source_);
  if (status == DecodeStatus::invalidFormat && destination_.facts.regular && enterWrite()) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    (void)truncateToEmpty(handleOf(destination_.file));
    leaveWrite();
  }
  if (delist() && status == DecodeStatus::success) status = DecodeStatus::writeFailed;
  if (status == DecodeStatus::writeFailed) {
    discardDestination(destination_);
    closeFile(destination_.file);
    return status;
  }
  // As on other systems, a second handle is kept to empty the file through should the close fail.
  HANDLE spare = nullptr;
  if (destination_.facts.regular &&
      !::DuplicateHandle(::GetCurrentProcess(), handleOf(destination_.file), ::GetCurrentProcess(),
                         &spare, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    spare = nullptr;
  }
  if (!closeFile(destination_.file)) {
    if (spare != nullptr) destination_.file = nativeOf(spare);
    discardDestination(destination_);
    closeFile(destination_.file);
    return DecodeStatus::writeFailed;
  }
  if (spare != nullptr) ::CloseHandle(spare);
  return status;
}

// Empties what a failed run left in the destination, then, when the name it was given is the file
// itself, marks it to be deleted as its last handle closes. The file is emptied first so that no
// other hard link keeps partial output. Only a file on disk is touched, never a device or a pipe.
// Takes no lock and allocates nothing, for a console control handler.
void RunFiles::discardDestination(const OpenDestination& destination) {
  if (!destination.facts.regular || destination.file == kNoFile) return;
  const HANDLE handle = handleOf(destination.file);
  (void)truncateToEmpty(handle);
  if (destination.removableByHandle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    (void)::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                       sizeof disposition);
  }
}

}  // namespace ravmolt
