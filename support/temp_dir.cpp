// TempDir: a randomly named private directory.
#include "temp_dir.h"

#include <random>
#include <stdexcept>
#include <system_error>

namespace companion_support {

TempDir::TempDir(const std::string& prefix) {
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(seed()));
    std::error_code error;
    if (std::filesystem::create_directory(path_, error)) {
      std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() { removeTree(path_); }

}  // namespace companion_support
