// Fuzz target: a suffix file's content through the start-up reading and cleaning, all in memory.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>

#include "suffix.h"

namespace {

bool printable(char c) { return c >= 0x20 && c <= 0x7E; }

// The reference first line: bytes up to the first '\n', within the read limit.
std::string expectedFirstLine(const std::string& content) {
  const std::string bounded = content.substr(0, companion::kMaxSuffixLineBytes);
  return bounded.substr(0, bounded.find('\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::istringstream in(content);
  const std::string line = companion::readSuffixLine(in);
  const std::string suffix = companion::cleanSuffix(line);
  const std::string socketSuffix = companion::socketSuffixFor(suffix);
  std::string kept;
  std::copy_if(line.begin(), line.end(), std::back_inserter(kept), printable);

  const bool lineOk = line == expectedFirstLine(content);
  const bool shapeOk = suffix.empty() || suffix.front() == '.';
  const bool bytesOk = std::all_of(suffix.begin(), suffix.end(), printable);
  // The printable bytes in order, with one '.' put in front only when missing.
  const bool exactOk = suffix == (kept.empty() || kept.front() == '.' ? kept : "." + kept);
  const bool socketOk = socketSuffix.size() == suffix.size() && socketSuffix.find('.') == std::string::npos &&
                        (socketSuffix.empty() || socketSuffix.front() == '-');
  if (!(lineOk && shapeOk && bytesOk && exactOk && socketOk)) __builtin_trap();
  return 0;
}
