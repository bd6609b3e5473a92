// How readRegularFile fills its buffer, written once for both platforms:
// each supplies its seek and read primitives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "file.h"

namespace companion {

// Where reading starts in a file of fileSize bytes of which at most maxBytes
// are wanted.
inline uint64_t readOffset(uint64_t fileSize, size_t maxBytes, FilePart part) {
  return part == FilePart::kEnd && fileSize > maxBytes ? fileSize - maxBytes : 0;
}

// Reads at most maxBytes into content with readSome(into, most), which returns
// the count read, 0 at the end and a negative value on failure. The buffer
// starts at the size the file is expected to have and grows only while the
// file turns out longer, so memory follows the file and not the limit.
template <typename ReadSome>
bool readBounded(uint64_t expectedBytes, size_t maxBytes, std::string& content, ReadSome readSome) {
  constexpr size_t kGrowth = 64 * 1024;
  size_t filled = 0;
  // One byte more than expected, so that the end shows without growing.
  content.assign(static_cast<size_t>(std::min<uint64_t>(expectedBytes + 1, maxBytes)), '\0');
  while (filled < maxBytes) {
    if (filled == content.size()) content.resize(std::min(maxBytes, filled + kGrowth));
    const auto count = readSome(&content[filled], content.size() - filled);
    if (count < 0) return false;
    if (count == 0) break;
    filled += static_cast<size_t>(count);
  }
  content.resize(filled);
  return true;
}

}  // namespace companion
