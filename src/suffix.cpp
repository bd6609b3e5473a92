// The suffix rules: reading, cleaning and the socket form.
#include "suffix.h"

#include <istream>
#include <iterator>
#include <sstream>

#include "file.h"
#include "logger.h"
#include "rendezvous.h"

namespace companion {

std::string readSuffixLine(std::istream& in) {
  std::string line;
  std::istreambuf_iterator<char> it(in), end;
  for (; it != end && *it != '\n' && line.size() < kMaxSuffixLineBytes; ++it) line.push_back(*it);
  return line;
}

std::string cleanSuffix(const std::string& firstLine) {
  std::string suffix;
  for (char c : firstLine) {
    if (isPrintableAscii(static_cast<uint8_t>(c))) suffix.push_back(c);
  }
  if (!suffix.empty() && suffix.front() != '.') suffix.insert(suffix.begin(), '.');
  return suffix;
}

std::string socketSuffixFor(std::string logSuffix) {
  for (char& c : logSuffix) {
    if (c == '.') c = '-';
  }
  return logSuffix;
}

std::string logSuffixBeside(const std::string& executableDir) {
  std::string content;
  if (!readRegularFile(pathIn(executableDir, kSuffixFileName), kMaxSuffixLineBytes, content)) return std::string();
  std::istringstream in(content);
  return cleanSuffix(readSuffixLine(in));
}

bool suffixAsksForDebug(const std::string& logSuffix) {
  std::string lower = logSuffix;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find("debug") != std::string::npos;
}

}  // namespace companion
