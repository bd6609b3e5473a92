// The companion's own names below a platform's directories: the rendezvous
// path of the agent's pipe or socket, the log directory and its files, and
// the files beside the program. The platform layers name only the
// directories (platform_paths.h); companion-doctor, the example agent and the
// benchmarks take the names from here too, so that they meet the companion.
#pragma once

#include <string>

namespace companion {

// Beside the program: the suffix file and the debug marker.
constexpr char kSuffixFileName[] = "companion.suffix";
constexpr char kDebugMarkerName[] = "companion.debug";
// In the log directory: the log and its one rotated predecessor.
constexpr char kLogFileName[] = "companion.log";
constexpr char kRotatedLogFileName[] = "companion.log.1";

// A name in a directory, joined with '/' on every platform: Windows takes it
// beside its own separators.
std::string pathIn(const std::string& directory, const char* name);

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
