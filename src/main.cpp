// The companion's entry point: answers --version, otherwise relays.
#include <cstring>
#include <iostream>

#include "companion.h"

#if defined(_WIN32)
#include "companionwindows.h"
using PlatformCompanion = companion::CompanionWindows;
#elif defined(__linux__)
#include "companionlinux.h"
using PlatformCompanion = companion::CompanionLinux;
#else
#error "No platform layer for this system"
#endif

int main(int argc, char* argv[]) {
  PlatformCompanion companion;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "Version: " << companion::kVersion << std::endl;
    return 0;
  }
  companion.init(argc, argv);
  return companion.run();
}
