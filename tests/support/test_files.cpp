// Whole-file reads and writes for tests.
#include "test_files.h"

#include <fstream>
#include <sstream>

namespace companion_test {

std::string readFile(const std::filesystem::path& path) {
  // In blocks: a character iterator is slow under the sanitizers, and logs
  // of ten mebibytes are read.
  std::ifstream in(path, std::ios::binary);
  std::string content;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) content.append(block, static_cast<size_t>(in.gcount()));
  return content;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
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

}  // namespace companion_test
