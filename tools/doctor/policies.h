// The browsers' enterprise policies on native-messaging hosts, and what a
// browser needs of the system to start one: read per platform
// (policies_linux.cpp, policies_win.cpp), judged once (policies.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "doctor.h"
#include "findings.h"

namespace companion_doctor {

// One policy's value and where the browser takes it from.
template <typename T>
struct PolicyValue {
  std::optional<T> value;
  std::string source;  // the file or registry key that set it
};

// What a Chrome-family browser's managed policy says about native messaging
// (Chromium's ChromeMessagingDelegate::IsNativeMessagingHostAllowed reads
// these three); a value no policy sets is empty.
struct HostPolicy {
  PolicyValue<bool> userLevelHosts;                 // NativeMessagingUserLevelHosts
  PolicyValue<std::vector<std::string>> blocklist;  // NativeMessagingBlocklist
  PolicyValue<std::vector<std::string>> allowlist;  // NativeMessagingAllowlist
};

// The platform's parts.
// The managed policy of the browser whose policies the lookup's browser
// ("chrome-beta", "brave", ...) follows; a finding for each policy source
// that could not be read.
HostPolicy readHostPolicy(const std::string& browser, std::vector<Finding>& findings);
// What Chrome-family browsers need to start any host (Windows: ComSpec), as
// findings; false when they cannot.
bool chromeFamilyCanStartHosts(std::vector<Finding>& findings);
// How a user installs the companion for every user on this platform.
const char* systemWideInstall();

// Judges the lookup's browser by its policy, adding what it finds: a per-user
// registration the policy makes the browser ignore is dropped for the
// system-wide one, if there is one. False when the browser cannot start the
// host at all (blocked, or only a per-user registration that it ignores).
bool applyHostPolicy(BrowserLookup& lookup, const std::string& hostName, std::vector<Finding>& findings);

}  // namespace companion_doctor
