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

// Up to maxBytes bytes from the start of a regular file. False for anything
// else (a FIFO, a device, a directory), which is never opened in a way that
// could block, and for a file that cannot be read.
bool readRegularFile(const std::string& utf8Path, size_t maxBytes, std::string& content);

// An exclusive lock on an existing file, held while the object lives, so that
// processes that replace the same file take turns. Locks nothing when the
// file cannot be opened.
class FileLock {
 public:
  explicit FileLock(const std::string& utf8Path);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  // Whether the lock is held and the path still names the locked file, which
  // another process may have renamed in the meantime.
  bool holds(const std::string& utf8Path) const;

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a file descriptor or a HANDLE
};

// A file opened for appending that other processes may read and write at the
// same time. Each append reaches the operating system in one write, so lines
// of several processes appending to one file never interleave.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { close(); }

  // Creates the file when missing; false when it cannot be opened. On POSIX
  // only a regular file of this user, in a directory of this user, reached
  // without following a link at the last step, is opened.
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
