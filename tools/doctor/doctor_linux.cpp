// The doctor on Linux: the install step's folders, Flatpak and Snap browsers,
// and the rendezvous socket's type and owner.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "browser_folders.h"
#include "companionlinux.h"
#include "doctor.h"
#include "manifest_check.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

std::string absoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

// A browser folder as the install step resolves it.
std::string resolveUserDir(const std::string& dir) {
  const std::string home = absoluteEnv("HOME");
  if (dir.rfind("~/", 0) == 0) return home + dir.substr(1);
  const std::string config = absoluteEnv("XDG_CONFIG_HOME");
  return (config.empty() ? home + "/.config" : config) + "/" + dir;
}

}  // namespace

std::unique_ptr<companion::CompanionBase> makeCompanion() { return std::make_unique<companion::CompanionLinux>(); }

const char* companionFileName() { return "companion"; }

const char* hostName() { return kHostName; }

std::string programOf(const std::string&, const std::string& path, std::string& problem) {
  if (path.empty() || path[0] != '/') {
    problem = "\"path\" must be an absolute path";
  } else if (::access(path.c_str(), X_OK) != 0) {
    problem = "the program " + path + " is missing or not executable";
  }
  return path;
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
}

std::vector<BrowserLookup> lookUpBrowsers() {
  std::vector<BrowserLookup> lookups;
  for (const BrowserFolders& folders : kBrowserFolders) {
    BrowserLookup lookup{folders.browser, folders.family, {resolveUserDir(folders.userDir)}, "", "", "", ""};
    // The user's manifest first, then the system-wide ones.
    for (const char* dir : folders.systemDirs) {
      if (dir != nullptr) lookup.searched.push_back(dir);
    }
    for (const std::string& dir : lookup.searched) {
      const std::string file = dir + "/" + kHostName + ".json";
      if (!fs::exists(file)) continue;
      if (lookup.manifest.empty()) {
        lookup.manifest = file;
        lookup.foundAt = "folder " + dir;
      }
      // Every folder after the user's is a system-wide one.
      if (&dir != &lookup.searched.front() && lookup.systemManifest.empty()) {
        lookup.systemManifest = file;
        lookup.systemFoundAt = "folder " + dir;
      }
    }
    lookups.push_back(lookup);
  }
  return lookups;
}

std::vector<Finding> sandboxNotes() {
  const std::string home = absoluteEnv("HOME");
  const std::pair<const char*, const char*> sandboxes[] = {
      {"/.var/app/org.chromium.Chromium", "Chromium (Flatpak)"},
      {"/.var/app/com.google.Chrome", "Google Chrome (Flatpak)"},
      {"/.var/app/com.microsoft.Edge", "Microsoft Edge (Flatpak)"},
      {"/.var/app/com.brave.Browser", "Brave (Flatpak)"},
      {"/.var/app/org.mozilla.firefox", "Firefox (Flatpak)"},
      {"/.var/app/io.gitlab.librewolf-community", "LibreWolf (Flatpak)"},
      {"/snap/chromium", "Chromium (Snap)"},
      {"/snap/firefox", "Firefox (Snap)"},
  };
  std::vector<Finding> notes;
  for (const auto& [dir, name] : sandboxes) {
    if (home.empty() || !fs::is_directory(home + dir)) continue;
    notes.push_back({Status::Note, "sandbox",
                     std::string(name) + " is installed (" + home + dir +
                         "): a sandboxed browser cannot start programs outside its sandbox, so it cannot start the "
                         "companion through a host manifest",
                     ""});
  }
  return notes;
}

Finding inspectRendezvous(const std::string& path, bool& served) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return {Status::Problem, "agent", "nothing serves " + path, "start the agent"};
  if (!S_ISSOCK(status.st_mode)) {
    return {Status::Problem, "agent", path + " is not a socket", "rm '" + path + "', then start the agent"};
  }
  if (status.st_uid != ::geteuid()) {
    return {Status::Problem, "agent",
            path + " is a socket of uid " + std::to_string(status.st_uid) +
                ", not of this user: the companion refuses it",
            "rm '" + path + "' (as its owner), then start the agent"};
  }
  served = true;
  return {Status::Ok, "agent", path + " is a socket of this user (not connected to: nothing is sent)", ""};
}

}  // namespace companion_doctor
