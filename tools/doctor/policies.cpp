// The verdict of a browser's native-messaging policies, as Chromium's
// ChromeMessagingDelegate::IsNativeMessagingHostAllowed gives it, and Mozilla's
// enterprise Firefox alike (NativeMessaging.sys.mjs, _checkPolicy, and
// NativeManifests.sys.mjs, lookupManifest with systemOnly):
// NativeMessagingUserLevelHosts false allows only system-wide hosts; a host
// named in NativeMessagingBlocklist, or any host when it holds "*", is
// blocked unless NativeMessagingAllowlist names it.
#include "policies.h"

#include <algorithm>

namespace companion_doctor {
namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string listText(const std::vector<std::string>& list) { return "[" + join(list) + "]"; }

// What a policy's finding adds about the builds that honour it.
std::string honouredBy(const std::string& family) {
  return family == "firefox" ? " (Mozilla's enterprise Firefox honours this policy; Firefox and Firefox ESR have "
                               "no such policy yet)"
                             : "";
}

// False, with the problem, when the policy blocks the host; a note when a
// list is set and lets it through.
bool checkLists(const HostPolicy& policy, const std::string& area, const std::string& hostName,
                const std::string& honoured, std::vector<Finding>& findings) {
  if (!policy.blocklist.value) return true;
  const std::vector<std::string>& blocked = *policy.blocklist.value;
  const std::string blockText = "NativeMessagingBlocklist " + listText(blocked) + " (" + policy.blocklist.source + ")";
  if (!contains(blocked, hostName) && !contains(blocked, "*")) {
    findings.push_back({Status::Note, area, blockText + " does not name " + hostName, ""});
    return true;
  }
  const bool allowed = policy.allowlist.value && contains(*policy.allowlist.value, hostName);
  if (allowed) {
    findings.push_back({Status::Note, area,
                        blockText + " blocks it, but NativeMessagingAllowlist (" + policy.allowlist.source +
                            ") allows " + hostName,
                        ""});
    return true;
  }
  findings.push_back({Status::Problem, area,
                      blockText + " blocks " + hostName + ": the browser will not start it" + honoured,
                      "ask the administrator to add " + hostName + " to NativeMessagingAllowlist"});
  return false;
}

// Chrome-family browsers start a host through the command prompt unless the
// policy has them start an .exe directly (launch_context_win.cc).
bool startsHosts(const HostPolicy& policy, const std::string& area, bool promptStartsHosts,
                 std::vector<Finding>& findings) {
  if (!policy.launchDirectly.value || !*policy.launchDirectly.value) return promptStartsHosts;
  if (!promptStartsHosts) {
    findings.push_back({Status::Note, area,
                        "NativeHostsExecutablesLaunchDirectly is true (" + policy.launchDirectly.source +
                            "): the browser starts the companion directly, so what stops the command prompt does "
                            "not concern it",
                        ""});
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> stringList(const JsonValue* value) {
  if (value == nullptr || value->kind != JsonValue::Kind::Array) return std::nullopt;
  std::vector<std::string> items;
  for (const JsonValue& item : value->items) {
    if (item.kind != JsonValue::Kind::String) return std::nullopt;
    items.push_back(item.text);
  }
  return items;
}

bool applyHostPolicy(BrowserLookup& lookup, const std::string& hostName, bool promptStartsHosts,
                     std::vector<Finding>& findings) {
  const std::string area = "browser " + lookup.browser;
  const HostPolicy policy = readHostPolicy(lookup.browser, findings);
  const std::string honoured = honouredBy(lookup.family);
  if (lookup.family == "chrome" && !startsHosts(policy, area, promptStartsHosts, findings)) return false;
  if (!checkLists(policy, area, hostName, honoured, findings)) return false;
  if (!policy.userLevelHosts.value || *policy.userLevelHosts.value) return true;

  const std::string setting = "NativeMessagingUserLevelHosts is false (" + policy.userLevelHosts.source + ")";
  const bool perUser = !lookup.found.empty() && !lookup.found.front().systemWide;
  if (!perUser) {
    findings.push_back({Status::Note, area, setting + ": only system-wide registrations count" + honoured, ""});
    return true;
  }
  const ManifestPlace ignored = lookup.found.front();
  lookup.found.erase(std::remove_if(lookup.found.begin(), lookup.found.end(),
                                    [](const ManifestPlace& place) { return !place.systemWide; }),
                     lookup.found.end());
  if (lookup.found.empty()) {
    findings.push_back({Status::Problem, area,
                        setting + ": the browser ignores the per-user registration " + ignored.place + " (" +
                            ignored.file + "), and there is no system-wide one" + honoured,
                        std::string("install the companion for every user: ") + systemWideInstall()});
    return false;
  }
  findings.push_back({Status::Note, area,
                      setting + ": the browser ignores the per-user registration " + ignored.place +
                          " and takes the system-wide one" + honoured,
                      ""});
  return true;
}

}  // namespace companion_doctor
