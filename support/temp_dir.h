// TempDir: a fresh private directory for a test or a benchmark run, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

namespace companion_support {

class TempDir {
 public:
  // Under the system's temporary directory, named by the prefix and a random
  // number; throws when no directory can be made.
  explicit TempDir(const std::string& prefix = "companion-test");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Removes a directory and everything in it, errors ignored; on Windows also
// beyond MAX_PATH, where the runtime's own remove_all gives up.
void removeTree(const std::filesystem::path& dir);

}  // namespace companion_support
