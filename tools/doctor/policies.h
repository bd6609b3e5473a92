// The browsers' managed policies on native-messaging hosts: read per platform
// (policies_linux.cpp, policies_win.cpp), judged once (policies.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "doctor.h"
#include "findings.h"
#include "json_reader.h"

namespace companion_doctor {

// One policy's value and where the browser takes it from.
template <typename T>
struct PolicyValue {
  std::optional<T> value;
  std::string source;  // the file or registry key that set it
};

// What a browser's managed policy says about native messaging: Chromium's
// ChromeMessagingDelegate::IsNativeMessagingHostAllowed reads the first
// three, and Mozilla's enterprise Firefox has policies of the same names
// (NativeMessaging.sys.mjs, _checkPolicy); a value no policy sets is empty.
struct HostPolicy {
  PolicyValue<bool> userLevelHosts;                 // NativeMessagingUserLevelHosts
  PolicyValue<std::vector<std::string>> blocklist;  // NativeMessagingBlocklist
  PolicyValue<std::vector<std::string>> allowlist;  // NativeMessagingAllowlist
  // NativeHostsExecutablesLaunchDirectly (Windows; Chrome 120 and later,
  // Edge): true has the browser start an .exe host itself rather than
  // through the command prompt (launch_context_win.cc).
  PolicyValue<bool> launchDirectly;
};

// A JSON list of strings; nothing for a value of another kind or with an item
// of another, which the browsers reject as a whole.
std::optional<std::vector<std::string>> stringList(const JsonValue* value);

// The platform's parts.
// The managed policy of the browser whose policies the lookup's browser
// ("chrome-beta", "brave", ...) follows; a finding for each policy source
// that could not be read.
HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>& findings);
// Whether the command prompt, through which Chrome-family browsers start the
// hosts they do not start directly, starts them here (Windows: ComSpec and
// what stops cmd.exe), with a finding for each thing that stops it.
bool commandPromptStartsHosts(std::vector<Finding>& findings);
// How a user installs the companion for every user on this platform.
const char* systemWideInstall();

// Judges the lookup's browser by its policy, adding what it finds: a per-user
// registration the policy makes the browser ignore is dropped for the
// system-wide one, if there is one. False when the browser cannot start the
// host at all (blocked, only a per-user registration that it ignores, or a
// command prompt it needs that does not start hosts).
bool applyHostPolicy(BrowserLookup& lookup, const std::string& hostName, bool promptStartsHosts,
                     std::vector<Finding>& findings);

}  // namespace companion_doctor
