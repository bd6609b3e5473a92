// Transfers of the benchmark, each bounded by a watchdog so that a stuck relay ends the run with a message.
#pragma once

#include <poll.h>

#include <cstddef>

namespace companion_bench {

// While it lives, a blocked transfer or wait that lasts longer than the given
// time fails (the alarm interrupts it) instead of hanging the run.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

// Each throws std::runtime_error naming what failed.
void writeAll(int fd, const void* data, size_t size);
// Reads at least one byte; the end of the stream is a failure.
size_t readSome(int fd, void* data, size_t capacity);
void readExactly(int fd, void* data, size_t size);
// One write to a descriptor in non-blocking mode: the bytes taken, 0 when it
// takes none now.
size_t writeSomeNow(int fd, const void* data, size_t size);
// Waits for one of the descriptors to be ready, as poll does without a time-out.
void waitReady(pollfd* fds, size_t count);

}  // namespace companion_bench
