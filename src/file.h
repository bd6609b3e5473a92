// The little file access the core needs, implemented once per platform
// (file_posix.cpp, file_win.cpp): UTF-8 paths and an append-only log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace companion {

// The platform's line end in text files: CR LF on Windows, LF elsewhere.
extern const char kLineEnd[];

// A filesystem path for a UTF-8 path. Never throws: text that cannot be
// converted has its bad sequences replaced.
std::filesystem::path pathFromUtf8(const std::string& utf8Path);

// A file opened for appending that other processes may read and write at the
// same time. Each append reaches the operating system in one write, so lines
// of several processes appending to one file never interleave.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { close(); }

  // Creates the file when missing; false when it cannot be opened.
  bool open(const std::string& utf8Path);
  // Writes all bytes at the end of the file; false on failure.
  bool append(const char* data, size_t size);
  void close();
  bool isOpen() const { return handle_ != kClosed; }

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;  // a file descriptor or a HANDLE
};

}  // namespace companion
