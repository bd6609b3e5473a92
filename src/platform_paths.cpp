// The user's rendezvous path and log directory: the platform's answers
// composed with the companion's rules.
#include "platform_paths.h"

#include "rendezvous.h"

namespace companion {

std::string userRendezvousPath(const std::string& socketSuffix) {
  return socketPathFor(socketPathPrefixIn(platform::rendezvousDirectory()), platform::userId(), socketSuffix);
}

std::string userLogDir(const std::string& logSuffix) { return logDirUnder(platform::dataDirectory(), logSuffix); }

}  // namespace companion
