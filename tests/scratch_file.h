// An unnamed scratch file holding given bytes, open as the engine's streams take files, and gone
// at the end of the scope: memfd_create on Linux, a temporary file deleted on close on Windows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>

#include "engine/io/native_file.h"

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#include <random>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace ravmolt::testing {

class ScratchFile {
 public:
  explicit ScratchFile(std::span<const std::uint8_t> bytes) {
#if defined(_WIN32)
    const auto path = std::filesystem::temp_directory_path() /
                      ("ravmolt-scratch-" + std::to_string(std::random_device{}()));
    const HANDLE handle = ::CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    file_ = reinterpret_cast<NativeFile>(handle);
    DWORD written = 0;
    EXPECT_TRUE(
        ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
#else
    file_ = ::memfd_create("ravmolt", 0);
    EXPECT_EQ(::pwrite(static_cast<int>(file_), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
#endif
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() {
#if defined(_WIN32)
    ::CloseHandle(reinterpret_cast<HANDLE>(file_));
#else
    ::close(static_cast<int>(file_));
#endif
  }
  NativeFile file() const { return file_; }

 private:
  NativeFile file_ = kNoFile;
};

}  // namespace ravmolt::testing
