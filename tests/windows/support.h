// What the stand-in agent, the tests and the Wine benchmark share: a handle owner, the user's SID and test bytes.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

// The SID of this process's user, as the companion (same user) should find
// it; empty when the token cannot be read.
inline std::string userSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  const UniqueHandle owner(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  // A SID's text is ASCII: the narrow form needs no conversion.
  LPSTR text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::string();
  }
  const std::string sid = text;
  LocalFree(text);
  return sid;
}

// Which pseudo-random stream the stand-in agent sends.
constexpr uint32_t kAgentStream = 1;

// Pseudo-random bytes that the agent and a test can both produce from a
// stream number.
inline std::string patternBytes(size_t size, uint32_t stream) {
  std::mt19937 generator(stream);
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
