// CompanionFiles: the file operations of CompanionBase, each one the file
// layer's (file.h) on the platform being built for. Failures give a neutral
// result (0, false) and are otherwise ignored: start-up goes on without
// rotation rather than not at all.
#pragma once

#include "companion.h"

namespace companion {

class CompanionFiles : public CompanionBase {
 public:
  void createDirectories(const std::string& path) final;
  uint64_t fileSize(const std::string& path) final;
  void removeFile(const std::string& path) final;
  void renameFile(const std::string& from, const std::string& to) final;
  bool fileExists(const std::string& path) final;
};

}  // namespace companion
