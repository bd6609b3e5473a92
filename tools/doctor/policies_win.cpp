// The managed policies of the browsers on Windows, under SOFTWARE\Policies in
// HKLM, then HKCU: for each policy a machine's value wins over the user's
// (Chromium's PolicyLoaderWin loads both scopes and the machine's takes
// precedence; Firefox's WindowsGPOPoliciesProvider reads HKCU, then HKLM
// over it). And the command prompt, through which Chrome-family browsers
// start the hosts they do not start directly.
#include <windows.h>

#include <cstdint>
#include <filesystem>

#include "policies.h"
#include "registry_win.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// Chrome and Chromium: Chromium's kRegistryChromePolicyKey (generated into
// policy_constants.cc) of Google Chrome and of other builds; Edge: Microsoft's
// policy reference (SOFTWARE\Policies\Microsoft\Edge\NativeMessagingBlocklist,
// ...); Brave: the key brave-core reads since 1.3 (brave-browser issue 7264,
// brave-core pull request 3692); Firefox: WindowsGPOParser.sys.mjs. chromium: whether the
// browser converts values as Chromium's registry_dict.cc does.
struct PolicyKey {
  const char* browser;
  const char* key;
  bool chromium;
};
const PolicyKey kPolicyKeys[] = {
    {"chrome", "Software\\Policies\\Google\\Chrome", true},
    {"chromium", "Software\\Policies\\Chromium", true},
    {"edge", "Software\\Policies\\Microsoft\\Edge", true},
    {"brave", "Software\\Policies\\BraveSoftware\\Brave", true},
    {"firefox", "Software\\Policies\\Mozilla\\Firefox", false},
};
const std::pair<HKEY, const char*> kRoots[] = {{HKEY_LOCAL_MACHINE, "HKLM"}, {HKEY_CURRENT_USER, "HKCU"}};
// SOFTWARE\Policies is one key for 32-bit and 64-bit programs on Windows
// (Microsoft, "Registry Keys Affected by WOW64": Policies is shared), and
// KEY_WOW64_64KEY is ignored on 32-bit Windows ("Accessing an Alternate
// Registry View"). The 64-bit view reads that one key whether or not a system
// maps the 32-bit view onto it (Wine does with a link under Wow6432Node).
constexpr REGSAM kPolicyView = KEY_WOW64_64KEY;

// base::StringToInt (string_number_conversions_internal.h): an optional sign,
// decimal digits only, within a 32-bit int; nothing else.
std::optional<int32_t> chromiumInt(const std::string& text) {
  size_t at = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  if (at == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return std::nullopt;
    value = value * 10 + (text[at] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  value = text[0] == '-' ? -value : value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// A boolean policy. Chromium's ConvertRegistryValue (registry_dict.cc) takes
// a DWORD, or a REG_SZ or REG_EXPAND_SZ that StringToInt reads, true when not
// 0; Firefox's policy schema takes a number of 0 or 1 (PolicySchemaValidator).
std::optional<bool> readBoolean(HKEY root, const std::string& key, const char* name, bool chromium,
                                std::string& where) {
  const std::optional<RegistryValue> value = readRegistryValue(root, key, name, kPolicyView);
  if (!value) return std::nullopt;
  where = key + " (" + name + ")";
  std::optional<int64_t> number = value->number();
  if (const std::optional<std::string> text = value->text(); chromium && text) number = chromiumInt(*text);
  if (!number || (!chromium && *number > 1)) return std::nullopt;
  return *number != 0;
}

// A list policy: the subkey of the policy's name, whose values with numbers
// for names (StringToInt reads them) hold the items; Chromium also takes a
// value of that name holding the list as JSON, which the subkey overrides
// (RegistryDict::ConvertToJSON sets keys after values).
std::optional<std::vector<std::string>> readList(HKEY root, const std::string& key, const char* name, bool chromium,
                                                 std::string& where) {
  const std::string subkey = key + "\\" + name;
  if (const auto values = readRegistryValues(root, subkey, kPolicyView)) {
    where = subkey;
    std::vector<std::string> items;
    for (const auto& [number, value] : *values) {
      const std::optional<std::string> text = value.text();
      if (chromiumInt(number) && text) items.push_back(*text);
    }
    return items;
  }
  const std::optional<RegistryValue> value = readRegistryValue(root, key, name, kPolicyView);
  const std::optional<std::string> text = value ? value->text() : std::nullopt;
  std::string error;
  const std::optional<JsonValue> json =
      chromium && text ? parseJson(*text, kChromiumRegistryJson, error) : std::nullopt;
  where = key + " (" + name + ")";
  return json ? stringList(&*json) : std::nullopt;
}

template <typename T, typename Read>
void readPolicy(PolicyValue<T>& target, Read read) {
  for (const auto& [root, rootName] : kRoots) {
    std::string where;
    target.value = read(root, where);
    if (target.value) {
      target.source = std::string(rootName) + "\\" + where;
      return;
    }
  }
}

}  // namespace

HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>&) {
  HostPolicy policy;
  for (const PolicyKey& entry : kPolicyKeys) {
    if (browser != entry.browser) continue;
    const std::string key = entry.key;
    const bool chromium = entry.chromium;
    const auto boolean = [&](const char* name) {
      return [&, name](HKEY root, std::string& where) { return readBoolean(root, key, name, chromium, where); };
    };
    const auto list = [&](const char* name) {
      return [&, name](HKEY root, std::string& where) { return readList(root, key, name, chromium, where); };
    };
    readPolicy(policy.userLevelHosts, boolean("NativeMessagingUserLevelHosts"));
    readPolicy(policy.blocklist, list("NativeMessagingBlocklist"));
    readPolicy(policy.allowlist, list("NativeMessagingAllowlist"));
    if (chromium) readPolicy(policy.launchDirectly, boolean("NativeHostsExecutablesLaunchDirectly"));
  }
  return policy;
}

// Chromium's launch_context_win.cc runs "%ComSpec% /d /s /c ..." for a host
// it does not start directly, and fails when ComSpec is unset or names no
// program. cmd.exe with the policy "Prevent access to the command prompt"
// (DisableCMD, per user) at 1 runs no command at all; at 2 it refuses only the
// interactive prompt (Microsoft, Policy CSP ADMX_ShellCommandPromptRegEditTools,
// DisableCMD).
bool commandPromptStartsHosts(std::vector<Finding>& findings) {
  const char* const area = "comspec";
  const std::string route =
      ": Chrome, Chromium, Edge and Brave start hosts through it, unless the policy "
      "NativeHostsExecutablesLaunchDirectly has them start an .exe directly";
  const std::string fix = "set ComSpec to C:\\Windows\\System32\\cmd.exe (System Properties, Environment Variables)";
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ComSpec", value, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    findings.push_back({Status::Problem, area, "ComSpec is not set" + route, fix});
    return false;
  }
  const std::string program = companion::wideToUtf8(value, length);
  std::error_code error;
  if (!fs::is_regular_file(fs::path(value), error)) {
    findings.push_back({Status::Problem, area, "ComSpec names " + program + ", which is missing" + route, fix});
    return false;
  }
  const char* const systemPolicy = "Software\\Policies\\Microsoft\\Windows\\System";
  const std::optional<RegistryValue> disableCmd =
      readRegistryValue(HKEY_CURRENT_USER, systemPolicy, "DisableCMD", kPolicyView);
  if (disableCmd && disableCmd->number() == 1u) {
    findings.push_back({Status::Problem, area,
                        std::string("DisableCMD is 1 (HKCU\\") + systemPolicy + "): " + program +
                            " runs no command at all" + route,
                        "ask the administrator to set \"Prevent access to the command prompt\" to keep scripts "
                        "running (DisableCMD 2), or to set NativeHostsExecutablesLaunchDirectly"});
    return false;
  }
  if (const std::optional<StartProblem> problem = startProblem(program)) {
    findings.push_back({Status::Problem, area, "ComSpec names " + program + ", " + problem->why + route, problem->fix});
    return false;
  }
  findings.push_back({Status::Ok, area, program + " starts the hosts of Chrome, Chromium, Edge and Brave", ""});
  return true;
}

const char* systemWideInstall() { return "the per-machine installer companion-machine-<version>.msi"; }

}  // namespace companion_doctor
