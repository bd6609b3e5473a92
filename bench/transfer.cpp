// Reads, writes and waits that turn every failure, the end of a stream and the watchdog's alarm into exceptions.
#include "transfer.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "io_posix.h"

namespace companion_bench {
namespace {

constexpr char kClosedEarly[] = "read: the relay closed its output early";

[[noreturn]] void fail(const char* what) {
  if (errno == EINTR) throw std::runtime_error(std::string(what) + ": no progress before the watchdog fired");
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

Watchdog::Watchdog(unsigned seconds) {
  // No SA_RESTART: the alarm makes the blocked call fail with EINTR.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  ::alarm(seconds);
}

Watchdog::~Watchdog() { ::alarm(0); }

void writeAll(int fd, const void* data, size_t size) {
  if (!companion_support::writeAll(fd, data, size)) fail("write");
}

size_t readSome(int fd, void* data, size_t capacity) {
  const ssize_t count = companion_support::readSome(fd, data, capacity);
  if (count < 0) fail("read");
  if (count == 0) throw std::runtime_error(kClosedEarly);
  return static_cast<size_t>(count);
}

void readExactly(int fd, void* data, size_t size) {
  if (companion_support::readExactly(fd, data, size)) return;
  if (errno == 0) throw std::runtime_error(kClosedEarly);
  fail("read");
}

size_t writeSomeNow(int fd, const void* data, size_t size) {
  const ssize_t written = ::write(fd, data, size);
  if (written < 0 && errno != EAGAIN) fail("write");
  return written < 0 ? 0 : static_cast<size_t>(written);
}

void waitReady(pollfd* fds, size_t count) {
  if (::poll(fds, count, -1) < 0) fail("poll");
}

}  // namespace companion_bench
