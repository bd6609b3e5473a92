// The managed policies on Linux. Chrome-family browsers: every file in the
// browser's managed policy folder, read whole in lexicographic order, the
// last one that sets a policy winning (Chromium's ConfigDirPolicyLoader).
// Firefox: one policies.json.
#include <filesystem>
#include <limits>
#include <set>

#include "file.h"
#include "json_reader.h"
#include "policies.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// Chromium's JSONFileValueDeserializer and Firefox's Cu.readUTF8File read a
// file whole, whatever its size; so does the doctor, with memory in
// proportion to it.
constexpr size_t kWholeFile = std::numeric_limits<size_t>::max();

// Where each browser reads its managed policies; every channel shares its
// browser's folder. Chrome: Chromium's
// components/policy/core/common/policy_paths.cc for Google Chrome builds;
// Chromium: the same file for other builds; Brave: brave-core's
// app/brave_main_delegate.cc, which points DIR_POLICY_FILES at /etc/brave.
// Edge is not read: Microsoft's policy reference lists its native-messaging
// policies for Windows and macOS only.
const std::pair<const char*, const char*> kPolicyFolders[] = {
    {"chrome", "/etc/opt/chrome/policies/managed"},
    {"chromium", "/etc/chromium/policies/managed"},
    {"brave", "/etc/brave/policies/managed"},
};

// Firefox reads /etc/firefox/policies/policies.json when it is there, else
// the one in its installation's distribution folder, and takes its member
// "policies" (EnterprisePoliciesParent.sys.mjs, JSONPoliciesProvider:
// SysConfD, then XREAppDist).
const char* const kFirefoxPolicyFiles[] = {
    "/etc/firefox/policies/policies.json",
    "/usr/lib/firefox/distribution/policies.json",
    "/usr/lib64/firefox/distribution/policies.json",
    "/opt/firefox/distribution/policies.json",
};

// The folder of the browser a channel ("chrome-beta", "brave-nightly")
// belongs to; empty when it has none.
std::string policyFolder(const std::string& browser) {
  const std::string base = browser.substr(0, browser.find('-'));
  for (const auto& [name, folder] : kPolicyFolders) {
    if (base == name) return folder;
  }
  return std::string();
}

template <typename T>
void take(PolicyValue<T>& target, const std::optional<T>& value, const std::string& file) {
  if (!value) return;
  target.value = value;
  target.source = file;
}

std::optional<bool> boolean(const JsonValue* value) {
  if (value == nullptr || value->kind != JsonValue::Kind::Bool) return std::nullopt;
  return value->boolean;
}

// The JSON object of a policy file as the browser reads it; nothing, with a
// note, when the browser leaves the file out.
std::optional<JsonValue> readPolicyFile(const std::string& file, const JsonDialect& dialect,
                                        const std::string& browser, std::vector<Finding>& findings) {
  std::string text;
  std::string reason = "it cannot be read";
  std::optional<JsonValue> json;
  if (companion::readRegularFile(file, kWholeFile, text)) json = parseJson(text, dialect, reason);
  if (json && json->kind == JsonValue::Kind::Object) return json;
  findings.push_back({Status::Note, "browser " + browser,
                      "the policy file " + file + " is left out: " + (json ? "not a JSON object" : reason), ""});
  return std::nullopt;
}

void takeHostPolicies(HostPolicy& policy, const JsonValue* policies, const std::string& file) {
  if (policies == nullptr) return;
  take(policy.userLevelHosts, boolean(policies->member("NativeMessagingUserLevelHosts")), file);
  take(policy.blocklist, stringList(policies->member("NativeMessagingBlocklist")), file);
  take(policy.allowlist, stringList(policies->member("NativeMessagingAllowlist")), file);
}

}  // namespace

HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>& findings) {
  HostPolicy policy;
  if (browser == "firefox") {
    for (const char* file : kFirefoxPolicyFiles) {
      if (stateOf(file).type == fs::file_type::not_found) continue;
      if (const auto json = readPolicyFile(file, kFirefoxJson, browser, findings)) {
        takeHostPolicies(policy, json->member("policies"), file);
      }
      break;
    }
    return policy;
  }
  const std::string folder = policyFolder(browser);
  std::error_code error;
  if (folder.empty() || !fs::is_directory(folder, error)) return policy;
  std::set<std::string> files;
  // Stepped with an error code: a folder that fails midway ends the listing, not the doctor.
  for (fs::directory_iterator entry(folder, error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    if (entry->is_regular_file(error)) files.insert(entry->path().string());
  }
  for (const std::string& file : files) {
    if (const auto json = readPolicyFile(file, kChromiumPolicyJson, browser, findings)) {
      takeHostPolicies(policy, &*json, file);
    }
  }
  return policy;
}

bool commandPromptStartsHosts(std::vector<Finding>&) { return true; }

const char* systemWideInstall() {
  return "the companion package (.deb or .rpm), or cmake --install with -DCOMPANION_MANIFEST_SCOPE=system";
}

}  // namespace companion_doctor
