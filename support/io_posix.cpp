// Whole reads and writes on blocking descriptors, each read optionally bounded by poll.
#include "io_posix.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace companion_support {

bool writeAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

ssize_t readSome(int fd, void* data, size_t capacity, int timeoutMs) {
  if (timeoutMs != kNoTimeout) {
    pollfd ready = {fd, POLLIN, 0};
    const int count = ::poll(&ready, 1, timeoutMs);
    if (count <= 0) {
      if (count == 0) errno = ETIMEDOUT;
      return -1;
    }
  }
  return ::read(fd, data, capacity);
}

bool readExactly(int fd, void* data, size_t size, int timeoutMs) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t count = readSome(fd, bytes, size, timeoutMs);
    if (count <= 0) {
      if (count == 0) errno = 0;
      return false;
    }
    bytes += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

bool readToEnd(int fd, std::string& into, int timeoutMs) {
  char buffer[65536];
  for (;;) {
    const ssize_t count = readSome(fd, buffer, sizeof buffer, timeoutMs);
    if (count <= 0) return count == 0;
    into.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace companion_support
