// CompanionLinux: the per-user paths of Linux, the program's own path and the
// socket server's credentials.
#include "companionlinux.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "rendezvous.h"

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

std::string CompanionLinux::getSocketPathPrefix() {
  const std::string runtimeDir = absoluteEnvPath("XDG_RUNTIME_DIR");
  return socketPathPrefixIn((runtimeDir.empty() ? std::string("/tmp") : runtimeDir) + "/");
}

std::string CompanionLinux::getLogDir() {
  const std::string stateDir = absoluteEnvPath("XDG_STATE_HOME");
  if (!stateDir.empty()) return logDirUnder(stateDir, currentLogSuffix());
  const std::string home = homeDirectory();
  return home.empty() ? std::string() : logDirUnder(home + "/.local/state", currentLogSuffix());
}

std::string CompanionLinux::getPlatformName() { return "linux"; }

std::string CompanionLinux::getExecutableDir(const char* programPath) {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? CompanionPosix::getExecutableDir(programPath) : directoryOf(executable.string());
}

int CompanionLinux::openStreamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

bool CompanionLinux::serverUid(int socket, uid_t& uid) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  uid = peer.uid;
  return true;
}

}  // namespace companion
