// CompanionShared: the platform operations of CompanionBase that every
// platform performs the same way, through the file layer (file.h) and the
// platform's answers about the user and the program (platform_paths.h). File
// failures give a neutral result (0, false) and are otherwise ignored:
// start-up goes on without rotation rather than not at all.
#pragma once

#include "companion.h"

namespace companion {

class CompanionShared : public CompanionBase {
 public:
  std::string getUserId() final;
  std::string getSocketPathPrefix() final;
  std::string getLogDir() final;
  std::string getExecutableDir(const char* programPath) final;
  void createDirectories(const std::string& path) final;
  uint64_t fileSize(const std::string& path) final;
  void removeFile(const std::string& path) final;
  void renameFile(const std::string& from, const std::string& to) final;
  bool fileExists(const std::string& path) final;
};

}  // namespace companion
