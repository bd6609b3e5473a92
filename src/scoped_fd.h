// POSIX descriptor helpers: the owner ScopedFd and a retry-after-EINTR wrapper.
#pragma once

#include <unistd.h>

#include <cerrno>

#include "scoped_generic.h"

namespace companion {

// Calls fn until it fails with something other than EINTR.
template <typename Fn>
auto retryAfterEintr(Fn fn) -> decltype(fn()) {
  decltype(fn()) result;
  do {
    result = fn();
  } while (result == -1 && errno == EINTR);
  return result;
}

struct FdTraits {
  static int InvalidValue() { return -1; }
  static bool IsValid(int fd) { return fd >= 0; }
  // Linux releases the descriptor even when close fails with EINTR, so it is
  // never retried: the number may already belong to another open.
  static void Free(int fd) { ::close(fd); }
};

// Owns one file descriptor and closes it when it goes out of scope.
using ScopedFd = ScopedGeneric<int, FdTraits>;

}  // namespace companion
