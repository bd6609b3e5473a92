// The platform-neutral file operations of file.h, on std::filesystem.
#include "file.h"

#include <system_error>

namespace companion {

uint64_t sizeOfFile(const std::string& utf8Path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(pathFromUtf8(utf8Path), error);
  return error ? 0 : size;
}

void removeFileIfAny(const std::string& utf8Path) {
  std::error_code error;
  std::filesystem::remove(pathFromUtf8(utf8Path), error);
}

void renameReplacing(const std::string& fromUtf8, const std::string& toUtf8) {
  std::error_code error;
  std::filesystem::rename(pathFromUtf8(fromUtf8), pathFromUtf8(toUtf8), error);
}

bool anythingExistsAt(const std::string& utf8Path) {
  std::error_code error;
  return std::filesystem::exists(pathFromUtf8(utf8Path), error);
}

}  // namespace companion
