// companion-doctor: tells a user why a browser cannot start the companion or
// reach the agent. It reads only: it writes no file and sends nothing.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "doctor.h"
#include "platform_paths.h"
#include "rendezvous.h"

namespace {

constexpr char kUsage[] =
    "Usage: companion-doctor [--json]\n"
    "Reports where each browser looks for the companion's host manifest and whether it\n"
    "would accept it, the agent's rendezvous name, and the log's last outcome.\n"
    "Exits 0 when a browser can start the companion and the agent's name is served.\n";

}  // namespace

int main(int argc, char* argv[]) {
  const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;
  if (argc > 2 || (argc == 2 && !json)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string executableDir = companion::platform::executableDirectory(argv[0]);
  companion_doctor::Doctor doctor(companion::pathIn(executableDir, companion_doctor::companionFileName()));
  const auto findings = doctor.run(executableDir);
  std::cout << (json ? companion_doctor::jsonReport(findings) : companion_doctor::textReport(findings));
  return doctor.healthy() ? 0 : 1;
}
