// POSIX file access for the core: UTF-8 paths are native, the log is 0600.
#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scoped_fd.h"

namespace companion {

const char kLineEnd[] = "\n";

std::filesystem::path pathFromUtf8(const std::string& utf8Path) { return std::filesystem::path(utf8Path); }

bool AppendFile::open(const std::string& utf8Path) {
  close();
  const int fd =
      retryAfterEintr([&] { return ::open(utf8Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600); });
  if (fd < 0) return false;
  // With debug logging on the log holds relayed traffic: keep it private
  // whatever the umask made of the mode.
  ::fchmod(fd, 0600);
  handle_ = fd;
  return true;
}

bool AppendFile::append(const char* data, size_t size) {
  if (!isOpen()) return false;
  while (size > 0) {
    const ssize_t written = retryAfterEintr([&] { return ::write(static_cast<int>(handle_), data, size); });
    if (written < 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void AppendFile::close() {
  if (!isOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kClosed;
}

}  // namespace companion
