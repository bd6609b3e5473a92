// The shared file operations, in their non-throwing std::filesystem forms.
#include "companion_files.h"

#include <filesystem>
#include <system_error>

#include "file.h"

namespace companion {

uint64_t CompanionFiles::fileSize(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(pathFromUtf8(path), error);
  return error ? 0 : size;
}

void CompanionFiles::removeFile(const std::string& path) {
  std::error_code error;
  std::filesystem::remove(pathFromUtf8(path), error);
}

void CompanionFiles::renameFile(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::rename(pathFromUtf8(from), pathFromUtf8(to), error);
}

bool CompanionFiles::fileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(pathFromUtf8(path), error);
}

}  // namespace companion
