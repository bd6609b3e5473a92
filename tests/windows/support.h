// What the stand-in agent and the tests share: a handle owner and test bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>

namespace companion_test {

// Owns a HANDLE; null and INVALID_HANDLE_VALUE both mean "none".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The seed of what the stand-in agent sends.
constexpr uint32_t kAgentSeed = 1;

// Pseudo-random bytes that the agent and a test can both produce from a seed.
inline std::string patternBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() >> 24);
  return bytes;
}

// Writes every byte, going on after short writes.
inline bool writeAll(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (!WriteFile(handle, data, chunk, &written, nullptr)) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace companion_test
