// POSIX file access for the core: UTF-8 paths are native, the log is a
// private regular file of the user, nothing is opened in a way that blocks.
#include "file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "file_read.h"
#include "scoped_fd.h"

namespace companion {

const char kLineEnd[] = "\n";

std::filesystem::path pathFromUtf8(const std::string& utf8Path) { return std::filesystem::path(utf8Path); }

void FileHandleTraits::Free(intptr_t handle) { FdTraits::Free(static_cast<int>(handle)); }

namespace {

bool ownRegularFile(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

bool inOwnDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat status {};
  return ::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid();
}

// O_NONBLOCK: opening a FIFO must not wait for its other end.
int openWithoutBlocking(const std::string& path, int flags, mode_t mode = 0) {
  return retryAfterEintr([&] { return ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode); });
}

}  // namespace

bool AppendFile::open(const std::string& utf8Path) {
  close();
  // Someone else's directory, or a link planted at the log path, would have
  // the records (relayed traffic, with debug logging on) written where others
  // choose.
  if (!inOwnDirectory(utf8Path)) return false;
  ScopedFd fd(openWithoutBlocking(utf8Path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0600));
  if (!fd.valid() || !ownRegularFile(fd.get())) return false;
  // Private whatever the umask made of the mode; the file is ours.
  ::fchmod(fd.get(), 0600);
  // Writes wait as usual from here on.
  ::fcntl(fd.get(), F_SETFL, O_APPEND);
  file_.reset(fd.release());
  return true;
}

bool AppendFile::append(const char* data, size_t size) {
  if (!isOpen()) return false;
  while (size > 0) {
    const ssize_t written = retryAfterEintr([&] { return ::write(static_cast<int>(file_.get()), data, size); });
    if (written < 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool readRegularFile(const std::string& utf8Path, size_t maxBytes, std::string& content, FilePart part) {
  const ScopedFd fd(openWithoutBlocking(utf8Path, O_RDONLY));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  const uint64_t offset = readOffset(size, maxBytes, part);
  if (offset != 0 && ::lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  return readBounded(size - offset, maxBytes, content, [&](char* into, size_t most) {
    return retryAfterEintr([&] { return ::read(fd.get(), into, most); });
  });
}

namespace {

// Creates one directory, private to the user whatever the umask.
void makePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) ::chmod(path.c_str(), 0700);
}

}  // namespace

namespace files {

void createDirectories(const std::string& utf8Path) {
  // Each missing level is made by hand so that every new one is 0700.
  for (size_t slash = utf8Path.find('/', 1); slash != std::string::npos; slash = utf8Path.find('/', slash + 1)) {
    makePrivateDirectory(utf8Path.substr(0, slash));
  }
  if (utf8Path.empty()) return;
  makePrivateDirectory(utf8Path);
  // The log's own directory, when it was made before with a looser mode, is
  // made private too, as long as it is this user's.
  struct stat status {};
  if (::lstat(utf8Path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()) {
    ::chmod(utf8Path.c_str(), 0700);
  }
}

uint64_t fileSize(const std::string& utf8Path) {
  struct stat status {};
  return ::stat(utf8Path.c_str(), &status) == 0 && S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
}

// A name is freed at once on POSIX, whoever holds the file open.
void remove(const std::string& utf8Path) { ::remove(utf8Path.c_str()); }

void rename(const std::string& from, const std::string& to) { ::rename(from.c_str(), to.c_str()); }

bool exists(const std::string& utf8Path) {
  struct stat status {};
  return ::stat(utf8Path.c_str(), &status) == 0;
}

}  // namespace files

ScopedFile FileLock::open(const std::string& utf8Path) {
  return ScopedFile(openWithoutBlocking(utf8Path, O_RDONLY | O_NOFOLLOW));
}

bool FileLock::tryLock() {
  return retryAfterEintr([&] { return ::flock(static_cast<int>(file_.get()), LOCK_EX | LOCK_NB); }) == 0;
}

bool FileLock::holds(const std::string& utf8Path) const {
  struct stat locked {}, named {};
  return file_.valid() && ::fstat(static_cast<int>(file_.get()), &locked) == 0 &&
         ::lstat(utf8Path.c_str(), &named) == 0 && locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

}  // namespace companion
