// Owners for what the Windows API hands out: handles closed with CloseHandle,
// and memory freed with LocalFree or CoTaskMemFree.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <memory>
#include <utility>

namespace companion {

// Owns a HANDLE; null and INVALID_HANDLE_VALUE both mean "none".
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) { reset(handle); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
struct CoTaskMemFreeDeleter {
  void operator()(void* memory) const { CoTaskMemFree(memory); }
};

// Memory the system allocated with LocalAlloc, such as a SID's text.
template <typename T>
using ScopedLocalMemory = std::unique_ptr<T, LocalFreeDeleter>;
// Memory the system allocated with CoTaskMemAlloc, such as a known folder's path.
template <typename T>
using ScopedCoTaskMemory = std::unique_ptr<T, CoTaskMemFreeDeleter>;

}  // namespace companion
