// The rendezvous path and the log directory, the same on every platform.
#include "rendezvous.h"

#include "formatter.h"
#include "sha1.h"

namespace companion {

std::string pathIn(const std::string& directory, const char* name) { return directory + "/" + name; }

std::string socketPathPrefixIn(const std::string& directory) { return directory + "vantro-"; }

std::string socketPathFor(const std::string& prefix, const std::string& userId, const std::string& socketSuffix) {
  sha1::SHA1 digest;
  digest.addBytes(userId);
  return prefix + sha1::toText(digest.finish()) + socketSuffix;
}

std::string logDirUnder(const std::string& dataDir, const std::string& logSuffix) {
  return dataDir.empty() ? std::string() : Formatter("%1/QM/quillmere2%2/logs", dataDir, logSuffix).str();
}

}  // namespace companion
