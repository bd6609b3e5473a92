// CompanionLinux: the Linux platform layer, the POSIX one with Linux's own
// paths (XDG base directories, /proc/self/exe) and peer credentials.
#pragma once

#include "companionposix.h"

namespace companion {

class CompanionLinux : public CompanionPosix {
 public:
  // Under $XDG_RUNTIME_DIR, else /tmp.
  std::string getSocketPathPrefix() override;
  // Under $XDG_STATE_HOME, else ~/.local/state.
  std::string getLogDir() override;
  std::string getPlatformName() override;
  std::string getExecutableDir(const char* programPath) override;
  // $HOME when it is absolute, else the user's home in the password database;
  // empty when neither is known.
  static std::string homeDirectory();

 protected:
  int openStreamSocket() override;
  bool serverUid(int socket, uid_t& uid) override;
};

}  // namespace companion
