// The byte pattern the example agent sends with --send, and that the benchmark and the tests write and expect: byte i is i mod 251.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace companion_support {

// A prime period: it divides no power-of-two block size, so a block lost,
// repeated or swapped on the way shows as a wrong byte.
inline constexpr uint64_t kPatternPeriod = 251;

// The pattern's first size bytes.
inline std::string patternStream(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % kPatternPeriod);
  return bytes;
}

}  // namespace companion_support
