// The managed policies of Chrome-family browsers on Windows, under
// SOFTWARE\Policies in HKLM, then HKCU: for each policy a machine's value
// wins over the user's (Chromium's PolicyLoaderWin loads both scopes, and the
// machine scope takes precedence). And ComSpec, through which Chrome-family
// browsers start every host.
#include <windows.h>

#include <filesystem>

#include "policies.h"
#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// Chrome and Chromium: Chromium's kRegistryChromePolicyKey (generated into
// policy_constants.cc) of Google Chrome and of other builds; Edge: Microsoft's
// policy reference (SOFTWARE\Policies\Microsoft\Edge\NativeMessagingBlocklist,
// ...); Brave: the key administrators use for it (no source of Brave's own
// names it).
const std::pair<const char*, const char*> kPolicyKeys[] = {
    {"chrome", "Software\\Policies\\Google\\Chrome"},
    {"chromium", "Software\\Policies\\Chromium"},
    {"edge", "Software\\Policies\\Microsoft\\Edge"},
    {"brave", "Software\\Policies\\BraveSoftware\\Brave"},
};
const std::pair<HKEY, const char*> kRoots[] = {{HKEY_LOCAL_MACHINE, "HKLM"}, {HKEY_CURRENT_USER, "HKCU"}};

using companion::ScopedRegistryKey;

// The key opened to read; none when it cannot be opened.
ScopedRegistryKey openKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, companion::utf8ToWide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ScopedRegistryKey();
  }
  return ScopedRegistryKey(key);
}

// A boolean policy is a REG_DWORD.
std::optional<bool> readBoolean(HKEY root, const std::string& key, const char* name) {
  const ScopedRegistryKey opened = openKey(root, key);
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (!opened ||
      RegQueryValueExW(opened.get(), companion::utf8ToWide(name).c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value != 0;
}

// A list policy is a subkey of the policy's name whose values ("1", "2", ...)
// are the items.
std::optional<std::vector<std::string>> readList(HKEY root, const std::string& key) {
  const ScopedRegistryKey opened = openKey(root, key);
  if (!opened) return std::nullopt;
  std::vector<std::string> items;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG result =
        RegEnumValueW(opened.get(), index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_SUCCESS && type == REG_SZ) items.push_back(companion::wideToUtf8(data, wcslen(data)));
  }
  return items;
}

template <typename T, typename Read>
void readPolicy(PolicyValue<T>& target, const std::string& key, const std::string& where, Read read) {
  for (const auto& [root, rootName] : kRoots) {
    target.value = read(root);
    if (target.value) {
      target.source = std::string(rootName) + "\\" + key + where;
      return;
    }
  }
}

}  // namespace

HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>&) {
  HostPolicy policy;
  for (const auto& [name, key] : kPolicyKeys) {
    if (browser != name) continue;
    const std::string base = key;
    readPolicy(policy.userLevelHosts, base, " (NativeMessagingUserLevelHosts)",
               [&](HKEY root) { return readBoolean(root, base, "NativeMessagingUserLevelHosts"); });
    readPolicy(policy.blocklist, base + "\\NativeMessagingBlocklist", "",
               [&](HKEY root) { return readList(root, base + "\\NativeMessagingBlocklist"); });
    readPolicy(policy.allowlist, base + "\\NativeMessagingAllowlist", "",
               [&](HKEY root) { return readList(root, base + "\\NativeMessagingAllowlist"); });
  }
  return policy;
}

// Chromium's native_process_launcher_win.cc runs "%ComSpec% /d /c host < in >
// out" (an .exe directly only with the LaunchWindowsNativeHostsDirectly
// feature) and fails when ComSpec is unset or names no program.
bool chromeFamilyCanStartHosts(std::vector<Finding>& findings) {
  const char* const area = "comspec";
  const char* const fix = "set ComSpec to C:\\Windows\\System32\\cmd.exe (System Properties, Environment Variables)";
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ComSpec", value, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    findings.push_back({Status::Problem, area,
                        "ComSpec is not set: Chrome, Chromium, Edge and Brave start every host through it", fix});
    return false;
  }
  const std::string program = companion::wideToUtf8(value, length);
  std::error_code error;
  if (!fs::is_regular_file(fs::path(value), error)) {
    findings.push_back({Status::Problem, area,
                        "ComSpec names " + program +
                            ", which is missing: Chrome, Chromium, Edge and Brave start every host through it",
                        fix});
    return false;
  }
  findings.push_back({Status::Ok, area, program + " starts the hosts of Chrome, Chromium, Edge and Brave", ""});
  return true;
}

const char* systemWideInstall() { return "the per-machine installer companion-machine-<version>.msi"; }

}  // namespace companion_doctor
