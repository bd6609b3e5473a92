// Whole-file reads and writes for tests, in binary mode.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace companion_test {

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
// The lines of a text file, without their LF or CR LF ends.
std::vector<std::string> readLines(const std::filesystem::path& path);

}  // namespace companion_test
