// What the platform tells about the user and the running program: the answers
// behind the companion's platform operations getUserId, getSocketPathPrefix,
// getLogDir and getExecutableDir, for the tools that must agree with the
// companion without building one. Each platform layer defines them.
#pragma once

#include <string>

namespace companion {
namespace platform {

// The user's id, which the rendezvous name is made from; never empty.
std::string userId();
// The directory that holds the user's rendezvous names, with its separator
// at the end ("\\.\pipe\", "/run/user/1000/").
std::string rendezvousDirectory();
// The user's data directory, under which the log directory lies; empty when
// it is unknown.
std::string dataDirectory();
// The running program's directory; programPath, the first element of the
// argument vector, is what the platform falls back on.
std::string executableDirectory(const char* programPath);

}  // namespace platform

// The same composed with the companion's rules (rendezvous.h): what a
// companion of this user whose suffix file holds the given suffixes uses.
std::string userRendezvousPath(const std::string& socketSuffix);
std::string userLogDir(const std::string& logSuffix);

}  // namespace companion
