// Whole reads and writes on blocking descriptors, for the test suites, the stand-in browser and the benchmark.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace companion_support {

// A timeout that never ends a wait.
constexpr int kNoTimeout = -1;

// A signal that this process catches makes each of these fail with EINTR
// instead of going on, so that an alarm can bound a transfer.

// Writes every byte; false, with errno set, when a write fails.
bool writeAll(int fd, const void* data, size_t size);
// One read of up to capacity bytes once the descriptor has something: the
// bytes read, 0 at the end of the stream, -1 with errno set when the read
// fails or nothing comes within timeoutMs (ETIMEDOUT).
ssize_t readSome(int fd, void* data, size_t capacity, int timeoutMs = kNoTimeout);
// Fills size bytes; false when the stream ends first (errno 0) or a read
// fails as readSome's does.
bool readExactly(int fd, void* data, size_t size, int timeoutMs = kNoTimeout);
// Appends everything up to the end of the stream to into; false when a read
// fails as readSome's does, with what came before it appended.
bool readToEnd(int fd, std::string& into, int timeoutMs = kNoTimeout);

}  // namespace companion_support
