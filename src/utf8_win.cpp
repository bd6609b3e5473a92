// UTF-8 <-> UTF-16 conversion through the system's own CP_UTF8 code page.
#include "utf8_win.h"

#include <windows.h>

#include <climits>

namespace companion {

// Both directions are called without MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS,
// so the system substitutes U+FFFD for anything it cannot convert instead of
// failing. Texts here are paths, names and log lines, far below INT_MAX units;
// anything longer is treated as nothing to convert rather than truncated.

std::wstring utf8ToWide(const std::string& utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return std::wstring();
  const int inLength = static_cast<int>(utf8.size());
  const int outLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLength, nullptr, 0);
  if (outLength <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(outLength), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLength, &wide[0], outLength);
  return wide;
}

std::string wideToUtf8(const wchar_t* wide, size_t length) {
  if (length == 0 || length > INT_MAX) return std::string();
  const int inLength = static_cast<int>(length);
  const int outLength = WideCharToMultiByte(CP_UTF8, 0, wide, inLength, nullptr, 0, nullptr, nullptr);
  if (outLength <= 0) return std::string();
  std::string utf8(static_cast<size_t>(outLength), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, inLength, &utf8[0], outLength, nullptr, nullptr);
  return utf8;
}

std::string wideToUtf8(const std::wstring& wide) { return wideToUtf8(wide.data(), wide.size()); }

}  // namespace companion
