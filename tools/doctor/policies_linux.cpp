// The managed policies of Chrome-family browsers on Linux: every file in the
// browser's managed policy folder, read in lexicographic order, the last one
// that sets a policy winning (Chromium's ConfigDirPolicyLoader).
#include <filesystem>
#include <set>

#include "file.h"
#include "json_reader.h"
#include "policies.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxPolicyBytes = size_t{1} << 20;

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

// A list of strings; a value of another type the browser rejects too.
std::optional<std::vector<std::string>> strings(const JsonValue* value) {
  if (value == nullptr || value->kind != JsonValue::Kind::Array) return std::nullopt;
  std::vector<std::string> items;
  for (const JsonValue& item : value->items) {
    if (item.kind != JsonValue::Kind::String) return std::nullopt;
    items.push_back(item.text);
  }
  return items;
}

}  // namespace

HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>& findings) {
  HostPolicy policy;
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
    std::string text;
    std::string reason = "it cannot be read";
    std::optional<JsonValue> json;
    if (companion::readRegularFile(file, kMaxPolicyBytes, text)) json = parseJson(text, kChromiumJson, reason);
    if (!json || json->kind != JsonValue::Kind::Object) {
      findings.push_back({Status::Note, "browser " + browser,
                          "the policy file " + file + " is left out: " + (json ? "not a JSON object" : reason), ""});
      continue;
    }
    take(policy.userLevelHosts, boolean(json->member("NativeMessagingUserLevelHosts")), file);
    take(policy.blocklist, strings(json->member("NativeMessagingBlocklist")), file);
    take(policy.allowlist, strings(json->member("NativeMessagingAllowlist")), file);
  }
  return policy;
}

bool chromeFamilyCanStartHosts(std::vector<Finding>&) { return true; }

const char* systemWideInstall() {
  return "the companion package (.deb or .rpm), or cmake --install with -DCOMPANION_MANIFEST_SCOPE=system";
}

}  // namespace companion_doctor
