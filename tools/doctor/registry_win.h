// The doctor's registry reads on Windows: a value with its type, or all of a
// key's values, with memory in proportion to what the registry holds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace companion_doctor {

struct RegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  // A REG_SZ or REG_EXPAND_SZ as it is stored, up to its first NUL.
  std::wstring wideText() const;
  // A REG_SZ, or a REG_EXPAND_SZ with its environment variables expanded, as
  // UTF-8; nothing for other types.
  std::optional<std::string> text() const;
  // A REG_DWORD or REG_DWORD_BIG_ENDIAN of four bytes.
  std::optional<uint32_t> number() const;
};

// The value of the key, a path under root, in the view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY); "" names the key's default value. Nothing when the key or
// the value is not there or cannot be read.
std::optional<RegistryValue> readRegistryValue(HKEY root, const std::string& key, const std::string& name,
                                               REGSAM view);
// Every value of the key, by name; nothing when the key cannot be opened.
std::optional<std::vector<std::pair<std::string, RegistryValue>>> readRegistryValues(HKEY root, const std::string& key,
                                                                                     REGSAM view);
// Whether the key has a subkey.
bool hasSubkeys(HKEY root, const std::string& key, REGSAM view);
// The text with its %NAME% variables expanded (ExpandEnvironmentStringsW).
std::optional<std::wstring> expandEnvironment(const std::wstring& text);

}  // namespace companion_doctor
