// The companion's own names below a platform's directories: the rendezvous
// path of the agent's pipe or socket, and the log directory. The platform
// layers name only the directories; the example agent and the benchmarks
// take the names from here too, so that they meet the companion.
#pragma once

#include <string>

namespace companion {

// The socket path prefix in a rendezvous directory, which ends in its
// separator ("\\.\pipe\", "/run/user/1000/").
std::string socketPathPrefixIn(const std::string& directory);

// The rendezvous path: the prefix, the SHA-1 text of the user id, and the
// socket suffix.
std::string socketPathFor(const std::string& prefix, const std::string& userId, const std::string& socketSuffix);

// The log directory for a log suffix under the user's data directory; empty
// when that directory is unknown (empty).
std::string logDirUnder(const std::string& dataDir, const std::string& logSuffix);

}  // namespace companion
