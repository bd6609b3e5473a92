// The suffix rules: reading, cleaning and the socket form.
#include "suffix.h"

#include <istream>
#include <iterator>

#include "logger.h"

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

}  // namespace companion
