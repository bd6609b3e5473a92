// The doctor on Windows: the registry keys each browser reads, in its own
// order, what keeps Windows from starting the companion, and whether the
// agent's pipe exists.
#include <windows.h>
#include <shlobj.h>

#include <cctype>
#include <filesystem>

#include "browser_keys.h"
#include "doctor.h"
#include "file.h"
#include "host_name.h"
#include "manifest_check.h"
#include "policies.h"
#include "registry_win.h"
#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// The manifest path that a key's default value gives the browser; nothing
// when the browser passes over the key. Chromium reads it with
// RegKey::ReadValue (base/win/registry.cc): a REG_SZ, or a REG_EXPAND_SZ
// expanded, each of at most 1024 characters with its NUL. Firefox reads it
// with WindowsRegistry.readRegKey, which takes a REG_SZ only, and moves on
// when it is empty.
std::optional<std::string> manifestPath(const RegistryValue& value, const std::string& family) {
  constexpr size_t kChromiumMaxChars = 1024;
  if (family == "firefox") {
    const std::optional<std::string> text = value.type == REG_SZ ? value.text() : std::nullopt;
    return text && !text->empty() ? text : std::nullopt;
  }
  if (value.data.size() > kChromiumMaxChars * sizeof(wchar_t)) return std::nullopt;
  if (value.type == REG_SZ) return value.text();
  const std::optional<std::wstring> expanded =
      value.type == REG_EXPAND_SZ ? expandEnvironment(value.wideText()) : std::nullopt;
  if (!expanded || expanded->size() + 1 > kChromiumMaxChars) return std::nullopt;
  return companion::wideToUtf8(*expanded);
}

// base::FilePath::IsAbsolute on Windows: a drive letter and a separator, or
// two leading separators.
bool isAbsolute(const std::string& path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  return drive ? path.size() > 2 && separator(path[2]) : path.size() > 1 && separator(path[0]) && separator(path[1]);
}

// Why the browser refuses a relative manifest path: Chromium's FindManifest
// says so; Firefox's IOUtils reads absolute paths only.
std::string relativeRefusal(const std::string& family) {
  return family == "firefox" ? "a relative path, which Firefox cannot read (IOUtils takes absolute paths only)"
                             : "a relative path, which Chrome refuses: \"Path to native messaging host manifest "
                               "must be absolute.\"";
}

// The compatibility layers of a program, which its Properties' Compatibility
// tab sets: under this key of HKCU (this user) or HKLM (every user), a value
// named by the program's path holds them, separated by spaces ("~ RUNASADMIN").
constexpr char kLayers[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

// Where a "Run this program as an administrator" layer is set for the
// program; empty when it is not.
std::string runAsAdministratorLayer(const std::string& program) {
  for (const auto& [root, rootName] : {std::pair{HKEY_CURRENT_USER, "HKCU"}, std::pair{HKEY_LOCAL_MACHINE, "HKLM"}}) {
    const std::optional<RegistryValue> value = readRegistryValue(root, kLayers, program, KEY_WOW64_64KEY);
    const std::string layers = " " + (value ? value->text().value_or("") : std::string()) + " ";
    if (layers.find(" RUNASADMIN ") != std::string::npos) return std::string(rootName) + "\\" + kLayers;
  }
  return std::string();
}

// AppLocker enforces executable rules when SrpV2\Exe holds rules and its
// EnforcementMode is not 0 (audit only): 1 enforces them, and so does a mode
// left unset (Microsoft, "Understand AppLocker enforcement settings"). Its
// default rules let users run programs under %ProgramFiles% and %WinDir% only
// ("Understand AppLocker default rules").
bool appLockerEnforcesExeRules() {
  const char* const key = "SOFTWARE\\Policies\\Microsoft\\Windows\\SrpV2\\Exe";
  if (!hasSubkeys(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY)) return false;
  const std::optional<RegistryValue> mode =
      readRegistryValue(HKEY_LOCAL_MACHINE, key, "EnforcementMode", KEY_WOW64_64KEY);
  return !mode || mode->number() != 0u;
}

// Whether the path lies in the user's profile folder, letters compared
// without case as Windows compares paths.
bool inProfile(const std::wstring& path) {
  PWSTR folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_Profile, KF_FLAG_DONT_VERIFY, nullptr, &folder);
  const companion::ScopedCoTaskMemory<wchar_t> owner(folder);
  if (FAILED(result) || folder == nullptr) return false;
  const std::wstring profile = std::wstring(folder) + L"\\";
  return path.size() > profile.size() &&
         CompareStringOrdinal(path.c_str(), static_cast<int>(profile.size()), profile.c_str(),
                              static_cast<int>(profile.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

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

PathState stateOf(const std::string& path) {
  PathState state;
  const std::wstring wide = companion::pathFromUtf8(path).wstring();
  // Opened for its attributes alone, shared for everything, following links;
  // a directory too.
  const companion::ScopedHandle file(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (file && GetFileInformationByHandle(file.get(), &information)) {
    const bool directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    state.type = directory ? fs::file_type::directory : fs::file_type::regular;
    if (!directory) state.size = (uintmax_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    return state;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    state.type = fs::file_type::not_found;
  } else {
    state.error = std::error_code(static_cast<int>(error), std::system_category());
  }
  return state;
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(companion::pathFromUtf8(a), companion::pathFromUtf8(b), error);
}

// Windows runs any file the browser names, whether a program or not (that
// shows only then), unless a compatibility layer asks for elevation, which
// CreateProcess does not give (it fails with ERROR_ELEVATION_REQUIRED, 740),
// or AppLocker blocks it.
std::optional<StartProblem> startProblem(const std::string& program) {
  const fs::path path = companion::pathFromUtf8(program).lexically_normal().make_preferred();
  const std::string normal = companion::wideToUtf8(path.wstring());
  if (const std::string layer = runAsAdministratorLayer(normal); !layer.empty()) {
    return StartProblem{"which is to run as administrator (RUNASADMIN in " + layer +
                            "): Windows starts it for no browser (error 740, elevation required)",
                        "clear \"Run this program as an administrator\" in the Compatibility tab of " + normal +
                            "'s Properties, and under its \"Change settings for all users\""};
  }
  if (appLockerEnforcesExeRules() && inProfile(path.wstring())) {
    return StartProblem{"which lies in your profile while AppLocker enforces executable rules "
                        "(HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\SrpV2\\Exe): its default rules let users run "
                        "programs in Program Files and Windows only, so it blocks the companion unless the "
                        "administrator's rules allow it",
                        std::string("install the companion for every user: ") + systemWideInstall()};
  }
  return std::nullopt;
}

std::string accessFix(const std::string& folder) {
  return "give your user access to " + folder + " again (its Properties, Security)";
}

// Each browser uses the first key that names a manifest, whatever the file
// (the system-wide one when a policy has it ignore per-user keys). Chromium
// reads every key of a root (browser_keys.h) in the 32-bit view, then in the
// 64-bit view (GetManifestPath); Firefox HKLM in the same order and HKCU in
// the 64-bit view alone (NativeManifests.sys.mjs, _winLookup), which is the
// same key as HKCU's 32-bit view (Microsoft, "Registry Keys Affected by
// WOW64": HKCU\Software is shared).
std::vector<BrowserLookup> lookUpBrowsers() {
  const std::pair<HKEY, const char*> roots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
  const std::pair<REGSAM, const char*> views[] = {{KEY_WOW64_32KEY, "32-bit view"}, {KEY_WOW64_64KEY, "64-bit view"}};
  std::vector<BrowserLookup> lookups;
  for (const BrowserKeys& browser : kBrowserKeys) {
    BrowserLookup lookup{browser.browser, browser.family, {}, {}, false};
    for (const auto& [root, rootName] : roots) {
      for (const auto& [view, viewName] : views) {
        for (const char* key : browser.keys) {
          if (key == nullptr) break;
          const std::string path = std::string(key) + "\\NativeMessagingHosts\\" + kHostName;
          const std::string place = std::string(rootName) + "\\" + path + " (" + viewName + ")";
          lookup.searched.push_back(place);
          const std::optional<RegistryValue> value = readRegistryValue(root, path, "", view);
          const std::optional<std::string> manifest = value ? manifestPath(*value, browser.family) : std::nullopt;
          // The first key that names a manifest, and the first system-wide one after it.
          const bool systemWide = root == HKEY_LOCAL_MACHINE;
          if (!manifest || (!lookup.found.empty() && (!systemWide || lookup.found.back().systemWide))) continue;
          lookup.found.push_back({place, *manifest, {}, systemWide,
                                  isAbsolute(*manifest) ? std::string() : relativeRefusal(browser.family)});
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
