// Whole-buffer writes to blocking descriptors, shared by the stand-in browser and the end-to-end tests.
#pragma once

#include <unistd.h>

#include <cstddef>

#include "scoped_fd.h"

namespace companion_tools {

// Writes every byte; false, with errno set, when a write fails.
inline bool writeAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = companion::retryAfterEintr([&] { return ::write(fd, bytes, size); });
    if (written < 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace companion_tools
