// CompanionFiles: the file operations of CompanionBase that every platform
// performs the same way, on std::filesystem with UTF-8 paths. Failures give a
// neutral result (0, false) and are otherwise ignored: start-up goes on
// without rotation rather than not at all.
#pragma once

#include "companion.h"

namespace companion {

class CompanionFiles : public CompanionBase {
 public:
  uint64_t fileSize(const std::string& path) final;
  void removeFile(const std::string& path) final;
  void renameFile(const std::string& from, const std::string& to) final;
  bool fileExists(const std::string& path) final;
};

}  // namespace companion
