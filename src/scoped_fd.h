// POSIX descriptor helpers: an owning ScopedFd and a retry-after-EINTR wrapper.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

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

// Owns one file descriptor and closes it when it goes out of scope.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace companion
