// The fake platform's file operations and its helpers.
#include "fake_platform.h"

#include <filesystem>

namespace companion_test {

void FakePlatform::createDirectories(const std::string& path) {
  calls.push_back("createDirectories(" + path + ")");
  std::error_code error;
  if (!path.empty()) std::filesystem::create_directories(path, error);
}

uint64_t FakePlatform::fileSize(const std::string& path) {
  const auto it = fileSizes.find(path);
  return record("fileSize(" + path + ")", it == fileSizes.end() ? uint64_t{0} : it->second);
}

void FakePlatform::removeFile(const std::string& path) {
  calls.push_back("removeFile(" + path + ")");
  std::error_code error;
  std::filesystem::remove(path, error);
}

void FakePlatform::renameFile(const std::string& from, const std::string& to) {
  calls.push_back("renameFile(" + from + ", " + to + ")");
  std::error_code error;
  std::filesystem::rename(from, to, error);
}

std::vector<std::string> FakePlatform::callsOf(const std::string& operation) const {
  std::vector<std::string> result;
  for (const std::string& call : calls) {
    if (call.rfind(operation + "(", 0) == 0) result.push_back(call);
  }
  return result;
}

void FakePlatform::startIn(const std::string& dir) {
  executableDir = dir;
  logDir = dir;
  const char* argv[] = {"companion"};
  init(1, argv);
}

}  // namespace companion_test
