// What the stand-in agent and the tests share on Windows: the user's SID, the handle owner and whole writes.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "io_win.h"
#include "scoped_handle_win.h"
#include "test_pattern.h"

namespace companion_test {

using companion::ScopedHandle;
using companion_support::writeAll;

// The SID of this process's user, as the companion (same user) should find
// it; empty when the token cannot be read.
inline std::string userSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  const ScopedHandle owner(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  // A SID's text is ASCII: the narrow form needs no conversion.
  LPSTR text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::string();
  }
  const companion::ScopedLocalMemory<char> textOwner(text);
  return text;
}

}  // namespace companion_test
