// The fake platform's file operations and the temporary-directory helpers.
#include "fake_platform.h"

#include <atomic>
#include <random>
#include <fstream>
#include <sstream>

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

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("companion-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> fieldsOf(const std::string& record) {
  std::vector<std::string> fields;
  std::istringstream in(record);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

}  // namespace companion_test
