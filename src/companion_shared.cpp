// The platform operations that every platform performs alike.
#include "companion_shared.h"

#include "file.h"
#include "platform_paths.h"
#include "rendezvous.h"

namespace companion {

std::string CompanionShared::getUserId() { return platform::userId(); }

std::string CompanionShared::getSocketPathPrefix() { return socketPathPrefixIn(platform::rendezvousDirectory()); }

std::string CompanionShared::getLogDir() { return logDirUnder(platform::dataDirectory(), currentLogSuffix()); }

std::string CompanionShared::getExecutableDir(const char* programPath) {
  return platform::executableDirectory(programPath);
}

void CompanionShared::createDirectories(const std::string& path) { files::createDirectories(path); }

uint64_t CompanionShared::fileSize(const std::string& path) { return files::fileSize(path); }

void CompanionShared::removeFile(const std::string& path) { files::remove(path); }

void CompanionShared::renameFile(const std::string& from, const std::string& to) { files::rename(from, to); }

bool CompanionShared::fileExists(const std::string& path) { return files::exists(path); }

}  // namespace companion
