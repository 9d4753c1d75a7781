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
HANDLE openDestination(const wchar_t* path, bool& deletable) {
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

}  // namespace

RunFiles::~RunFiles() {
  delist();
  closeFile(source_);
  closeFile(destination_);
}

DecodeStatus RunFiles::open(const char* sourcePath, const char* destinationPath) {
  // A folder cannot be opened this way (that needs FILE_FLAG_BACKUP_SEMANTICS): not found.
  const WidePath sourceName(sourcePath);
  const HANDLE source = sourceName
                            ? ::CreateFileW(sourceName.get(), GENERIC_READ, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                            : INVALID_HANDLE_VALUE;
  if (source != INVALID_HANDLE_VALUE) source_ = nativeOf(source);
  if (source == INVALID_HANDLE_VALUE || !factsOfHandle(source, sourceInfo_) || sourceInfo_.folder) {
    closeFile(source_);
    return DecodeStatus::sourceNotFound;
  }
  const WidePath destinationName(destinationPath);
  bool deletable = false;
  const HANDLE destination =
      destinationName ? openDestination(destinationName.get(), deletable) : INVALID_HANDLE_VALUE;
  if (destination != INVALID_HANDLE_VALUE) destination_ = nativeOf(destination);
  DecodeStatus status = DecodeStatus::success;
  if (destination == INVALID_HANDLE_VALUE || !factsOfHandle(destination, destinationInfo_)) {
    status = DecodeStatus::destinationUnwritable;
  } else if (sourceInfo_.sameFileAs(destinationInfo_)) {
    status = DecodeStatus::sameFile;
  } else if (destinationInfo_.regular && destinationInfo_.size > 0 &&
             !truncateToEmpty(destination)) {
    status = DecodeStatus::destinationUnwritable;
  }
  if (status != DecodeStatus::success) {
    closeFile(source_);
    closeFile(destination_);
    return status;
  }
  // Reached through a symbolic link or a junction, the file is only emptied after a failure, as
  // on other systems: deleting by handle would delete the target and keep the dangling link.
  const DWORD attributes = ::GetFileAttributesW(destinationName.get());
  removableByHandle_ = deletable && destinationInfo_.regular &&
                       attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  destinationPath_ = destinationPath;
  enlist();
  return status;
}

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
  if (status == DecodeStatus::invalidFormat && destinationInfo_.regular) {
    // Checks come before output, but a source that shrank mid-run is found only at the end.
    (void)truncateToEmpty(handleOf(destination_));
  }
  if (status == DecodeStatus::writeFailed) {
    discardDestination();
    delist();
    closeFile(destination_);
    return status;
  }
  // As on other systems, a second handle is kept to empty the file through should the close fail.
  HANDLE spare = nullptr;
  if (destinationInfo_.regular &&
      !::DuplicateHandle(::GetCurrentProcess(), handleOf(destination_), ::GetCurrentProcess(),
                         &spare, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    spare = nullptr;
  }
  delist();
  if (!closeFile(destination_)) {
    if (spare != nullptr) destination_ = nativeOf(spare);
    discardDestination();
    closeFile(destination_);
    return DecodeStatus::writeFailed;
  }
  if (spare != nullptr) ::CloseHandle(spare);
  return status;
}

// Empties what a failed run left in the destination, then, when the name it was given is the file
// itself, marks it to be deleted as its last handle closes. The file is emptied first so that no
// other hard link keeps partial output. Only a file on disk is touched, never a device or a pipe.
// Takes no lock and allocates nothing, for a console control handler.
void RunFiles::discardDestination() const {
  if (!destinationInfo_.regular || destination_ == kNoFile) return;
  const HANDLE destination = handleOf(destination_);
  (void)truncateToEmpty(destination);
  if (removableByHandle_) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    (void)::SetFileInformationByHandle(destination, FileDispositionInfo, &disposition,
                                       sizeof disposition);
  }
}

}  // namespace ravmolt
