// UTF-8 <-> UTF-16 conversion for the Windows layer (MultiByteToWideChar with CP_UTF8).
#pragma once

#include <cstddef>
#include <string>

namespace companion {

// Never fails: an invalid sequence becomes U+FFFD.
std::wstring utf8ToWide(const std::string& utf8);

// Never fails: a surrogate pair becomes one 4-byte sequence, a lone surrogate
// becomes U+FFFD.
std::string wideToUtf8(const wchar_t* wide, size_t length);
std::string wideToUtf8(const std::wstring& wide);

}  // namespace companion
