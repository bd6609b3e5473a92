// Reads, writes and waits that turn every failure, the end of a stream and the watchdog's alarm into exceptions.
#include "transfer.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace companion_bench {
namespace {

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
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) fail("write");
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

size_t readSome(int fd, void* data, size_t capacity) {
  const ssize_t count = ::read(fd, data, capacity);
  if (count < 0) fail("read");
  if (count == 0) throw std::runtime_error("read: the relay closed its output early");
  return static_cast<size_t>(count);
}

void readExactly(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  for (size_t done = 0; done < size;) done += readSome(fd, bytes + done, size - done);
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
