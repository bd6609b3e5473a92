// The suffix rules: how the first line of a suffix file becomes the log
// suffix and the socket suffix.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

namespace companion {

// The first line of a suffix file: bytes up to the first '\n', at most
// kMaxSuffixLineBytes of them. A suffix names a pipe or socket and a
// directory, which no system allows to be that long; reading further would
// only cost time and memory.
inline constexpr size_t kMaxSuffixLineBytes = 65536;
std::string readSuffixLine(std::istream& in);

// Cleans the first line of a suffix file into the log suffix: only bytes
// 0x20..0x7E are kept, and a '.' is put in front when missing.
std::string cleanSuffix(const std::string& firstLine);

// The socket suffix for a log suffix: every '.' becomes '-'.
std::string socketSuffixFor(std::string logSuffix);

// The log suffix that the suffix file in the program's directory gives; empty
// when there is none or it cannot be read.
std::string logSuffixBeside(const std::string& executableDir);

// Whether a log suffix asks for debug logging by itself: it holds "debug" in
// any case. Otherwise the debug marker beside the program does.
bool suffixAsksForDebug(const std::string& logSuffix);

}  // namespace companion
