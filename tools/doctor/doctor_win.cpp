// The doctor on Windows: the registry keys each browser reads, in its own
// order, and whether the agent's pipe exists.
#include <windows.h>

#include <filesystem>

#include "companionwindows.h"
#include "doctor.h"
#include "file.h"
#include "manifest_check.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// The name register.cmd registers (its HOST).
constexpr char kHostName[] = "com.vantro.companion";

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
  wchar_t value[4096] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LONG result = RegQueryValueExW(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(opened);
  if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();
  return companion::wideToUtf8(value, std::wcslen(value));
}

}  // namespace

std::unique_ptr<companion::CompanionBase> makeCompanion() { return std::make_unique<companion::CompanionWindows>(); }

const char* companionFileName() { return "companion.exe"; }

const char* hostName() { return kHostName; }

// A relative path is taken from the manifest's folder, as Chrome does.
std::string programOf(const std::string& manifestFile, const std::string& path, std::string& problem) {
  fs::path program = companion::pathFromUtf8(path);
  if (path.empty()) {
    problem = "\"path\" is empty";
    return path;
  }
  if (program.is_relative()) program = companion::pathFromUtf8(manifestFile).parent_path() / program;
  std::error_code error;
  if (!fs::is_regular_file(program, error)) problem = "the program " + path + " is missing";
  return companion::wideToUtf8(program.wstring());
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(companion::pathFromUtf8(a), companion::pathFromUtf8(b), error);
}

std::vector<BrowserLookup> lookUpBrowsers() {
  const std::pair<HKEY, const char*> roots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
  const std::pair<REGSAM, const char*> views[] = {{KEY_WOW64_32KEY, "32-bit view"}, {KEY_WOW64_64KEY, "64-bit view"}};
  std::vector<BrowserLookup> lookups;
  for (const BrowserKeys& browser : kBrowsers) {
    BrowserLookup lookup{browser.browser, browser.family, {}, "", "", "", ""};
    for (const auto& [root, rootName] : roots) {
      for (const char* key : browser.keys) {
        for (const auto& [view, viewName] : views) {
          const std::string path = std::string(key) + "\\NativeMessagingHosts\\" + kHostName;
          const std::string place = std::string(rootName) + "\\" + path + " (" + viewName + ")";
          lookup.searched.push_back(place);
          const std::string manifest = defaultValue(root, path, view);
          if (manifest.empty()) continue;
          if (lookup.manifest.empty()) {
            lookup.manifest = manifest;
            lookup.foundAt = place;
          }
          if (root == HKEY_LOCAL_MACHINE && lookup.systemManifest.empty()) {
            lookup.systemManifest = manifest;
            lookup.systemFoundAt = place;
          }
        }
      }
    }
    lookups.push_back(lookup);
  }
  return lookups;
}

std::vector<Finding> sandboxNotes() { return {}; }

// WaitNamedPipe tells whether the name exists without connecting to it; who
// serves it only the companion's own check tells, once connected.
Finding inspectRendezvous(const std::string& path, bool& served) {
  const bool available = WaitNamedPipeW(companion::utf8ToWide(path).c_str(), 1) != 0;
  const DWORD error = GetLastError();
  if (!available && error != ERROR_SEM_TIMEOUT) {
    return {Status::Problem, "agent", "nothing serves " + path, "start the agent"};
  }
  served = true;
  return {Status::Ok, "agent",
          path + (available ? " exists" : " exists, every instance busy") + " (not connected to: nothing is sent)",
          ""};
}

}  // namespace companion_doctor
