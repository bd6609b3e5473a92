// Whole reads and writes on blocking handles, for the Windows tests, their stand-in agent and the Wine benchmark.
#pragma once

#include <windows.h>

#include <cstddef>

namespace companion_support {

// Writes every byte, going on after short writes; false, with the system's
// error set, when a write fails.
bool writeAll(HANDLE handle, const void* data, size_t size);
// Fills size bytes; false when a read fails (the end of a pipe included) or
// the stream ends first.
bool readExactly(HANDLE handle, void* data, size_t size);

}  // namespace companion_support
