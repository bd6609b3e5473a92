// The diagnosis of an install, written once; each platform supplies where
// its browsers look, how a rendezvous name is inspected, and the companion.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "companion.h"
#include "findings.h"

namespace companion_doctor {

// Where one browser looked for the host manifest, in its own order, and the
// manifest it would use (empty when none).
struct BrowserLookup {
  std::string browser;
  std::string family;  // "chrome" or "firefox"
  std::vector<std::string> searched;
  std::string manifest;
  std::string foundAt;  // the folder or key that named it
  // The first system-wide registration (a system folder, HKLM), which the
  // browser uses when a policy makes it ignore per-user ones; empty when none.
  std::string systemManifest;
  std::string systemFoundAt;
};

// The platform's parts (doctor_linux.cpp, doctor_win.cpp).
std::unique_ptr<companion::CompanionBase> makeCompanion();
const char* companionFileName();
// The name of the native-messaging host, as the registration writes it.
const char* hostName();
std::vector<BrowserLookup> lookUpBrowsers();
// Browsers that cannot start host programs at all (sandboxed packages).
std::vector<Finding> sandboxNotes();
// The finding for the rendezvous name; served when an agent of this user
// seems to serve it, told without connecting.
Finding inspectRendezvous(const std::string& path, bool& served);
bool samePath(const std::string& a, const std::string& b);

class Doctor {
 public:
  explicit Doctor(std::string companionPath) : companionPath_(std::move(companionPath)) {}
  std::vector<Finding> run(companion::CompanionBase& companion, const std::string& executableDir);
  // A browser can start this companion, and the agent's name is served.
  bool healthy() const { return browsersOk_ > 0 && served_; }

 private:
  void add(Status status, const std::string& area, const std::string& message, const std::string& fix = "");
  void checkBrowser(const BrowserLookup& lookup);
  void checkSuffix(const std::string& executableDir, const companion::CompanionBase& companion);
  void checkLog(const std::string& path, bool debug);

  std::string companionPath_;
  std::vector<Finding> findings_;
  int browsersOk_ = 0;
  bool served_ = false;
};

std::string join(const std::vector<std::string>& parts, const char* separator = ", ");

}  // namespace companion_doctor
