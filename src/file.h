// The little file access the core needs, implemented once per platform
// (file_posix.cpp, file_win.cpp): UTF-8 paths and an append-only log file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "scoped_generic.h"

namespace companion {

// The platform's line end in text files: CR LF on Windows, LF elsewhere.
extern const char kLineEnd[];

// A filesystem path for a UTF-8 path. Never throws: text that cannot be
// converted has its bad sequences replaced. For tools and tests: on Windows
// std::filesystem asks the C runtime, which refuses the \\?\ form that some
// paths take there; the companion's own file operations are below.
std::filesystem::path pathFromUtf8(const std::string& utf8Path);

// The file-system operations of start-up, on UTF-8 paths, with the
// platform's own calls. None of them reports a failure: each gives a neutral
// result (0, false) or leaves things as they are, and start-up goes on.
namespace files {

// Creates every missing directory of the path; on POSIX each new one, and the
// last one if it is the user's, private to the user.
void createDirectories(const std::string& utf8Path);
// The size of the regular file at the path, links followed; 0 for anything else.
uint64_t fileSize(const std::string& utf8Path);
// Removes a file or an empty directory; a missing path is no error. The name
// is free at once, also when another process still holds the file open.
void remove(const std::string& utf8Path);
// Moves a file to another name, replacing a file there.
void rename(const std::string& from, const std::string& to);
// Whether anything is at the path, links followed.
bool exists(const std::string& utf8Path);

}  // namespace files

// A file as the platform opened it: a descriptor, or a HANDLE (never -1 for
// an open file either), closed by the platform's own call.
struct FileHandleTraits {
  static intptr_t InvalidValue() { return -1; }
  static bool IsValid(intptr_t handle) { return handle != -1; }
  static void Free(intptr_t handle);
};
using ScopedFile = ScopedGeneric<intptr_t, FileHandleTraits>;

// Which part of a file readRegularFile reads when it is longer than asked for.
enum class FilePart { kStart, kEnd };

// Up to maxBytes bytes from the start (or the end) of a regular file, with
// memory in proportion to what is read. False for anything else (a FIFO, a
// device, a directory), which is never opened in a way that could block, and
// for a file that cannot be read.
bool readRegularFile(const std::string& utf8Path, size_t maxBytes, std::string& content,
                     FilePart part = FilePart::kStart);

// An exclusive lock on an existing file, held while the object lives, so that
// processes that replace the same file take turns. It waits about kWait for
// another holder to let go, no longer: a process stopped while it holds the
// lock must not hold up every later one. Locks nothing when the file cannot
// be opened or the lock is not free in time. It never keeps another process
// from reading or appending to the file.
class FileLock {
 public:
  static constexpr std::chrono::milliseconds kWait{2000};

  explicit FileLock(const std::string& utf8Path) : file_(open(utf8Path)) {
    for (const auto deadline = std::chrono::steady_clock::now() + kWait; file_.valid() && !tryLock();) {
      if (std::chrono::steady_clock::now() >= deadline) {
        file_.reset();
      } else {
        std::this_thread::sleep_for(kRetryInterval);
      }
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Whether the lock is held and the path still names the locked file, which
  // another process may have renamed in the meantime.
  bool holds(const std::string& utf8Path) const;

 private:
  static constexpr std::chrono::milliseconds kRetryInterval{10};
  // The file opened for locking; none when it cannot be opened.
  static ScopedFile open(const std::string& utf8Path);
  // Takes the lock if no other holder has it.
  bool tryLock();

  ScopedFile file_;
};

// A file opened for appending that other processes may read and write at the
// same time. Each append reaches the operating system in one write, so lines
// of several processes appending to one file never interleave.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Creates the file when missing; false when it cannot be opened. On POSIX
  // only a regular file of this user, in a directory of this user, reached
  // without following a link at the last step, is opened.
  bool open(const std::string& utf8Path);
  // Writes all bytes at the end of the file; false on failure.
  bool append(const char* data, size_t size);
  void close() { file_.reset(); }
  bool isOpen() const { return file_.valid(); }

 private:
  ScopedFile file_;
};

}  // namespace companion
