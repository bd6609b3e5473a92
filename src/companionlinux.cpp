// CompanionLinux: the per-user paths of Linux, the program's own path and the
// socket server's credentials.
#include "companionlinux.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform_paths.h"

namespace companion {
namespace {

// An environment variable's value when it holds an absolute path, else empty.
std::string absoluteEnvPath(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

}  // namespace

std::string CompanionLinux::homeDirectory() {
  const std::string home = absoluteEnvPath("HOME");
  if (!home.empty()) return home;
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string CompanionLinux::getPlatformName() { return "linux"; }

namespace platform {

// $XDG_RUNTIME_DIR, else /tmp.
std::string rendezvousDirectory() {
  const std::string runtimeDir = absoluteEnvPath("XDG_RUNTIME_DIR");
  return (runtimeDir.empty() ? std::string("/tmp") : runtimeDir) + "/";
}

// $XDG_STATE_HOME, else ~/.local/state.
std::string dataDirectory() {
  const std::string stateDir = absoluteEnvPath("XDG_STATE_HOME");
  if (!stateDir.empty()) return stateDir;
  const std::string home = CompanionLinux::homeDirectory();
  return home.empty() ? std::string() : home + "/.local/state";
}

std::string executableDirectory(const char* programPath) {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? CompanionPosix::directoryOfProgram(programPath) : CompanionPosix::directoryOf(executable.string());
}

}  // namespace platform

int CompanionLinux::openStreamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

bool CompanionLinux::serverUid(int socket, uid_t& uid) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  uid = peer.uid;
  return true;
}

}  // namespace companion
