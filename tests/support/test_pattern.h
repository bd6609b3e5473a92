// The bytes the tests and the stand-in agents send: pseudo-random, from a
// seeded generator, so that both ends can make them and a failure replays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace companion_test {

// Which stream the stand-in agent sends.
constexpr uint32_t kAgentStream = 1;

inline std::string patternBytes(size_t size, uint32_t stream) {
  std::mt19937 generator(stream);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() >> 24);
  return bytes;
}

}  // namespace companion_test
