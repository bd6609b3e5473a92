// The doctor's registry reads: each value is queried for its size first, so
// that the buffer follows what the registry holds.
#include "registry_win.h"

#include <cstring>

#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

using companion::ScopedRegistryKey;

ScopedRegistryKey openKey(HKEY root, const std::string& key, REGSAM view) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, companion::utf8ToWide(key).c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) {
    return ScopedRegistryKey();
  }
  return ScopedRegistryKey(opened);
}

}  // namespace

std::wstring RegistryValue::wideText() const {
  std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
  if (!wide.empty()) std::memcpy(&wide[0], data.data(), wide.size() * sizeof(wchar_t));
  return wide.substr(0, wide.find(L'\0'));
}

std::optional<std::string> RegistryValue::text() const {
  if (type == REG_SZ) return companion::wideToUtf8(wideText());
  if (type != REG_EXPAND_SZ) return std::nullopt;
  const std::optional<std::wstring> expanded = expandEnvironment(wideText());
  if (!expanded) return std::nullopt;
  return companion::wideToUtf8(*expanded);
}

std::optional<uint32_t> RegistryValue::number() const {
  if ((type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN) || data.size() != 4) return std::nullopt;
  const uint32_t little = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
  const uint32_t big = data[3] | data[2] << 8 | data[1] << 16 | static_cast<uint32_t>(data[0]) << 24;
  return type == REG_DWORD ? little : big;
}

std::optional<RegistryValue> readRegistryValue(HKEY root, const std::string& key, const std::string& name,
                                               REGSAM view) {
  const ScopedRegistryKey opened = openKey(root, key, view);
  if (!opened) return std::nullopt;
  const std::wstring wideName = companion::utf8ToWide(name);
  RegistryValue value;
  DWORD size = 0;
  LONG result = RegQueryValueExW(opened.get(), wideName.c_str(), nullptr, &value.type, nullptr, &size);
  // The value may grow between two queries: ask again, at its new size, a few times.
  for (int attempt = 0; attempt < 3 && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA); ++attempt) {
    value.data.resize(size);
    result = RegQueryValueExW(opened.get(), wideName.c_str(), nullptr, &value.type, value.data.data(), &size);
    if (result == ERROR_SUCCESS) {
      value.data.resize(size);
      return value;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::pair<std::string, RegistryValue>>> readRegistryValues(HKEY root, const std::string& key,
                                                                                     REGSAM view) {
  const ScopedRegistryKey opened = openKey(root, key, view);
  DWORD count = 0, longestName = 0, longestData = 0;
  if (!opened || RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                  &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<std::pair<std::string, RegistryValue>> values;
  std::wstring name(longestName + 1, L'\0');
  for (DWORD index = 0; index < count; ++index) {
    RegistryValue value;
    value.data.resize(longestData);
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = longestData;
    if (RegEnumValueW(opened.get(), index, &name[0], &nameLength, nullptr, &value.type, value.data.data(), &size) ==
        ERROR_SUCCESS) {
      value.data.resize(size);
      values.emplace_back(companion::wideToUtf8(name.data(), nameLength), std::move(value));
    }
  }
  return values;
}

bool hasSubkeys(HKEY root, const std::string& key, REGSAM view) {
  const ScopedRegistryKey opened = openKey(root, key, view);
  DWORD subkeys = 0;
  return opened && RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys > 0;
}

std::optional<std::wstring> expandEnvironment(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::wstring expanded(needed, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(text.c_str(), &expanded[0], needed);
  if (written == 0 || written > needed) return std::nullopt;
  expanded.resize(written - 1);
  return expanded;
}

}  // namespace companion_doctor
