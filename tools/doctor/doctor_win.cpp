// The doctor on Windows: the registry keys each browser reads, in its own
// order, and whether the agent's pipe exists.
#include <windows.h>

#include <filesystem>

#include "companionwindows.h"
#include "doctor.h"
#include "file.h"
#include "host_name.h"
#include "manifest_check.h"
#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

struct BrowserKeys {
  const char* browser;
  const char* family;
  std::vector<const char*> keys;  // under the root, before \NativeMessagingHosts
};

// Chrome reads HKCU, then HKLM, each in the 32-bit view first; Edge reads its
// own key, then Chromium's, then Chrome's; Firefox reads Mozilla's key, the
// 32-bit view first since version 64.
const BrowserKeys kBrowsers[] = {
    {"chrome", "chrome", {"Software\\Google\\Chrome"}},
    {"chromium", "chrome", {"Software\\Chromium"}},
    {"edge", "chrome", {"Software\\Microsoft\\Edge", "Software\\Chromium", "Software\\Google\\Chrome"}},
    {"brave", "chrome", {"Software\\BraveSoftware\\Brave-Browser"}},
    {"firefox", "firefox", {"Software\\Mozilla"}},
};

// The default value of the key in the view; empty when there is none.
std::string defaultValue(HKEY root, const std::string& key, REGSAM view) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, companion::utf8ToWide(key).c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) {
    return std::string();
  }
  const companion::ScopedRegistryKey owner(opened);
  wchar_t value[4096] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LONG result = RegQueryValueExW(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();
  return companion::wideToUtf8(value, std::wcslen(value));
}

}  // namespace

std::unique_ptr<companion::CompanionBase> makeCompanion() { return std::make_unique<companion::CompanionWindows>(); }

const char* companionFileName() { return "companion.exe"; }

// A relative path is taken from the manifest's folder, as Chromium
// (native_process_launcher.cc) and Firefox (NativeMessaging.sys.mjs) do.
std::string programOf(const std::string& manifestFile, const std::string& path, std::string& problem) {
  if (path.empty()) {
    problem = "\"path\" is empty";
    return path;
  }
  fs::path program = companion::pathFromUtf8(path);
  if (program.is_relative()) program = companion::pathFromUtf8(manifestFile).parent_path() / program;
  return companion::wideToUtf8(program.wstring());
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(companion::pathFromUtf8(a), companion::pathFromUtf8(b), error);
}

// Windows runs any file the browser names; whether it is a program shows only then.
bool isExecutable(const std::string&) { return true; }

std::string accessFix(const std::string& folder) {
  return "give your user access to " + folder + " again (its Properties, Security)";
}

// Each browser uses the first key that names a manifest, whatever the file
// (the system-wide one when a policy has it ignore per-user keys).
std::vector<BrowserLookup> lookUpBrowsers() {
  const std::pair<HKEY, const char*> roots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
  const std::pair<REGSAM, const char*> views[] = {{KEY_WOW64_32KEY, "32-bit view"}, {KEY_WOW64_64KEY, "64-bit view"}};
  std::vector<BrowserLookup> lookups;
  for (const BrowserKeys& browser : kBrowsers) {
    BrowserLookup lookup{browser.browser, browser.family, {}, {}, false};
    for (const auto& [root, rootName] : roots) {
      for (const char* key : browser.keys) {
        for (const auto& [view, viewName] : views) {
          const std::string path = std::string(key) + "\\NativeMessagingHosts\\" + kHostName;
          const std::string place = std::string(rootName) + "\\" + path + " (" + viewName + ")";
          lookup.searched.push_back(place);
          const std::string manifest = defaultValue(root, path, view);
          if (manifest.empty()) continue;
          // The first key that names a manifest, and the first system-wide one after it.
          const bool systemWide = root == HKEY_LOCAL_MACHINE;
          if (lookup.found.empty() || (systemWide && !lookup.found.back().systemWide)) {
            lookup.found.push_back({place, manifest, {}, systemWide});
          }
        }
      }
    }
    lookups.push_back(lookup);
  }
  return lookups;
}

std::vector<Finding> sandboxNotes() { return {}; }

// WaitNamedPipe tells whether a server has the name open without connecting
// to it. Which user that server runs as Windows tells only to a client that
// has connected (GetNamedPipeServerProcessId), and a connection the agent
// would take for a companion's: so that is left to the companion's own check.
Finding inspectRendezvous(const std::string& path, bool& served) {
  const bool available = WaitNamedPipeW(companion::utf8ToWide(path).c_str(), 1) != 0;
  const DWORD error = GetLastError();
  if (!available && error != ERROR_SEM_TIMEOUT) {
    return {Status::Problem, "agent", "nothing serves " + path + ": the agent is not running", "start the agent"};
  }
  served = true;
  return {Status::Ok, "agent",
          path + (available ? " exists" : " exists, every instance busy") +
              " (not connected to: nothing is sent; the companion checks that its server is this user)",
          ""};
}

}  // namespace companion_doctor
