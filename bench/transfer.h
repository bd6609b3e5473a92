// Blocking transfers of the benchmark, each bounded by a watchdog so that a stuck relay ends the run with a message.
#pragma once

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

}  // namespace companion_bench
