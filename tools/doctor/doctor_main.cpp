// companion-doctor: tells a user why a browser cannot start the companion or
// reach the agent. It reads only: it writes no file and sends nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "browser_folders.h"
#include "companionlinux.h"
#include "findings.h"
#include "manifest_check.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "Usage: companion-doctor [--json]\n"
    "Reports where each browser looks for the companion's host manifest and whether it\n"
    "would accept it, the agent's rendezvous name, and the log's last outcome.\n"
    "Exits 0 when a browser can start the companion and the agent's name is served.\n";

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

class Doctor {
 public:
  explicit Doctor(const std::string& companionPath) : companionPath_(companionPath) {}

  std::vector<Finding> run(companion::CompanionLinux& companion, const std::string& executableDir) {
    checkBrowsers();
    checkSandboxes();
    companion.readSuffixBeside(executableDir);
    checkSuffix(executableDir, companion);
    checkRendezvous(companion.getSocketPath());
    checkLog(companion.getLogPath(), companion.debugRequestedBeside(executableDir));
    return findings_;
  }
  bool healthy() const { return browsersOk_ > 0 && served_; }

 private:
  void add(Status status, const std::string& area, const std::string& message, const std::string& fix = "") {
    findings_.push_back({status, area, message, fix});
  }

  void checkBrowsers() {
    for (const BrowserFolders& folders : kBrowserFolders) {
      const std::string area = std::string("browser ") + folders.browser;
      // Each browser takes the user's manifest first, then the system-wide one.
      std::vector<std::string> places = {resolveUserDir(folders.userDir)};
      if (folders.systemDir[0] != '\0') places.push_back(folders.systemDir);
      std::string used;
      for (const std::string& dir : places) {
        const std::string file = dir + "/" + kHostName + ".json";
        if (used.empty() && fs::exists(file)) used = file;
      }
      if (used.empty()) {
        add(Status::Note, area, "no manifest in " + join(places), "cmake --install <build dir> with the extension ids");
        continue;
      }
      checkManifestFile(area, used, folders.family);
    }
  }

  void checkManifestFile(const std::string& area, const std::string& file, const std::string& family) {
    const ManifestCheck check = checkManifest(readWhole(file), family, kHostName);
    if (!check.problems.empty()) {
      add(Status::Problem, area, file + ": " + join(check.problems, "; "),
          "cmake --install <build dir> rewrites it, or mend " + file);
      return;
    }
    ++browsersOk_;
    if (fs::weakly_canonical(check.program) != fs::weakly_canonical(companionPath_)) {
      add(Status::Note, area, file + " is valid but starts " + check.program + ", not " + companionPath_);
      return;
    }
    add(Status::Ok, area, "uses " + file);
  }

  void checkSandboxes() {
    const std::string home = absoluteEnv("HOME");
    const std::pair<const char*, const char*> sandboxes[] = {
        {"/.var/app/org.chromium.Chromium", "Chromium (Flatpak)"},
        {"/.var/app/com.google.Chrome", "Google Chrome (Flatpak)"},
        {"/.var/app/com.microsoft.Edge", "Microsoft Edge (Flatpak)"},
        {"/.var/app/com.brave.Browser", "Brave (Flatpak)"},
        {"/.var/app/org.mozilla.firefox", "Firefox (Flatpak)"},
        {"/snap/chromium", "Chromium (Snap)"},
        {"/snap/firefox", "Firefox (Snap)"},
    };
    for (const auto& [dir, name] : sandboxes) {
      if (home.empty() || !fs::is_directory(home + dir)) continue;
      add(Status::Note, "sandbox",
          std::string(name) + " is installed (" + home + dir +
              "): a sandboxed browser cannot start programs outside its sandbox, so it cannot start the companion "
              "through a host manifest");
    }
  }

  void checkSuffix(const std::string& executableDir, companion::CompanionLinux& companion) {
    const std::string file = executableDir + "/companion.suffix";
    if (!fs::exists(file)) {
      add(Status::Note, "suffix", "no " + file + ": the default log folder and rendezvous name");
      return;
    }
    add(Status::Ok, "suffix", file + " gives the log suffix '" + companion.getLogSuffix() + "'");
  }

  void checkRendezvous(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      add(Status::Problem, "agent", "nothing serves " + path, "start the agent");
      return;
    }
    if (!S_ISSOCK(status.st_mode)) {
      add(Status::Problem, "agent", path + " is not a socket", "rm '" + path + "', then start the agent");
    } else if (status.st_uid != ::geteuid()) {
      add(Status::Problem, "agent",
          path + " is a socket of uid " + std::to_string(status.st_uid) +
              ", not of this user: the companion refuses it",
          "rm '" + path + "' (as its owner), then start the agent");
    } else {
      served_ = true;
      add(Status::Ok, "agent", path + " is a socket of this user (not connected to: nothing is sent)");
    }
  }

  void checkLog(const std::string& path, bool debug) {
    std::error_code error;
    const uintmax_t size = fs::file_size(path, error);
    if (error) {
      add(Status::Note, "log", "no log yet at " + path);
    } else {
      add(Status::Ok, "log", path + ", " + std::to_string(size) + " bytes");
    }
    if (debug) add(Status::Note, "log", "debug logging is on: relayed data is written to the log");
    const std::string marker = "\tReturn code: ";
    const std::string log = error ? std::string() : readWhole(path);
    const size_t at = log.rfind(marker);
    if (at == std::string::npos) return;
    const int code = std::atoi(log.c_str() + at + marker.size());
    add(code == 246 ? Status::Ok : Status::Note, "log",
        "the last relay ended with " + std::to_string(code) + ": " + meaningOf(code));
  }

  static std::string meaningOf(int code) {
    switch (code) {
      case 0: return "success";
      case 240: return "no agent served the rendezvous name";
      case 241: return "the agent was busy";
      case 242: return "the agent's name could not be opened, or another user serves it";
      case 243: return "standard input or output was not a pipe (not started by a browser)";
      case 246: return "a side closed its end (the normal end of a session)";
      case 247: return "writing to the browser failed (the browser went away)";
      case 249: return "writing to the agent failed (the agent went away)";
      default: return "not a code of the companion";
    }
  }

  static std::string join(const std::vector<std::string>& parts, const char* separator = ", ") {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
  }

  std::string companionPath_;
  std::vector<Finding> findings_;
  int browsersOk_ = 0;
  bool served_ = false;
};

}  // namespace
}  // namespace companion_doctor

int main(int argc, char* argv[]) {
  const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;
  if (argc > 2 || (argc == 2 && !json)) {
    std::fputs(companion_doctor::kUsage, stderr);
    return 2;
  }
  companion::CompanionLinux companion;
  const std::string executableDir = companion.getExecutableDir(argv[0]);
  companion_doctor::Doctor doctor(executableDir + "/companion");
  const auto findings = doctor.run(companion, executableDir);
  std::cout << (json ? companion_doctor::jsonReport(findings) : companion_doctor::textReport(findings));
  return doctor.healthy() ? 0 : 1;
}
