// CompanionLinux: the Linux platform layer, the POSIX one with Linux's own
// paths (XDG base directories, /proc/self/exe; platform_paths.h) and peer
// credentials.
#pragma once

#include "companionposix.h"

namespace companion {

class CompanionLinux : public CompanionPosix {
 public:
  std::string getPlatformName() override;
  // $HOME when it is absolute, else the user's home in the password database;
  // empty when neither is known.
  static std::string homeDirectory();

 protected:
  int openStreamSocket() override;
  bool serverUid(int socket, uid_t& uid) override;
};

}  // namespace companion
