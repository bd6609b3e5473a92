// The diagnosis of an install, written once; each platform supplies where
// its browsers look, how a rendezvous name is inspected, and the companion.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "findings.h"

namespace companion_doctor {

// A place where a browser found a manifest, or could not look.
struct ManifestPlace {
  std::string place;  // the folder or key that names it
  std::string file;   // the manifest
  std::error_code error;  // set when the file system would not say what is there
  // A system-wide registration (a system folder, HKLM), which the browser
  // uses alone when a policy makes it ignore per-user ones.
  bool systemWide = false;
  // Why the browser refuses the path itself (a relative one), without reading
  // the file; empty when it takes it.
  std::string refusal{};
};

// Where one browser looked for the host manifest, in its own order, and what
// it found there.
struct BrowserLookup {
  std::string browser;
  std::string family;  // "chrome" or "firefox"
  std::vector<std::string> searched;
  // In that order; on Windows the first key that names a manifest, and the
  // first system-wide one after it.
  std::vector<ManifestPlace> found;
  // A manifest the browser refuses sends it on to the next place (Firefox's
  // folders); otherwise the first manifest found is the one it uses.
  bool triesNextWhenRefused = false;
};

// What the file system says of a path, following links; never throws.
struct PathState {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  std::error_code error;  // set for anything but a path that is there or missing
  uintmax_t size = 0;     // of a regular file
};
// The platform's part: on Windows the system's own calls, which take the
// \\?\ form some paths need there; std::filesystem asks the C runtime, which
// refuses it on Windows.
PathState stateOf(const std::string& path);

// The platform's parts (doctor_linux.cpp, doctor_win.cpp).
const char* companionFileName();
std::vector<BrowserLookup> lookUpBrowsers();
// Browsers that cannot start host programs at all (sandboxed packages).
std::vector<Finding> sandboxNotes();
// The finding for the rendezvous name; served when a server of this user
// listens on it, told without connecting.
Finding inspectRendezvous(const std::string& path, bool& served);
bool samePath(const std::string& a, const std::string& b);
// Why the system would not start the regular file as a program for the
// browser, and the fix; nothing when it would.
struct StartProblem {
  std::string why;
  std::string fix;
};
std::optional<StartProblem> startProblem(const std::string& program);
// How a user gets back into a folder of theirs that they cannot read.
std::string accessFix(const std::string& folder);

// The finding for a path the file system will not look at: it names the
// deepest folder on the way that cannot be entered, or the path itself.
Finding cannotRead(const std::string& area, const std::string& path, const std::error_code& error);
// A file type in words: "a directory", "a FIFO", ...
std::string describe(std::filesystem::file_type type);

class Doctor {
 public:
  explicit Doctor(std::string companionPath) : companionPath_(std::move(companionPath)) {}
  // The diagnosis of the companion in executableDir.
  std::vector<Finding> run(const std::string& executableDir);
  // A browser can start this companion, and the agent's name is served.
  bool healthy() const { return browsersOk_ > 0 && served_; }

 private:
  void add(Status status, const std::string& area, const std::string& message, const std::string& fix = "");
  void checkBrowser(const BrowserLookup& lookup);
  // Whether the browser takes the manifest there (whatever then becomes of its program).
  bool checkPlace(const std::string& area, const BrowserLookup& lookup, const ManifestPlace& place);
  void checkProgram(const std::string& area, const ManifestPlace& place, const std::string& program);
  void checkSuffix(const std::string& executableDir, const std::string& logSuffix);
  // debugFix: how to switch debug logging off; empty when it is off.
  void checkLog(const std::string& logDir, const std::string& debugFix);
  void checkLastRun(const std::string& tail, uintmax_t size);

  std::string companionPath_;
  std::vector<Finding> findings_;
  int browsersOk_ = 0;
  bool served_ = false;
};

std::string join(const std::vector<std::string>& parts, const char* separator = ", ");

}  // namespace companion_doctor
