// Fuzz target: companion::formatData output is printable, sized as promised, and decodes back.
#include <algorithm>
#include <cstdint>
#include <string>

#include "logger.h"

namespace {

constexpr size_t kEscapeLength = 5;  // "\0x" and two hexadecimal digits

bool printable(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

int lowerHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Turns every "\0x" with two lowercase hex digits naming a non-printable byte
// into that byte; everything else stays. A literal "\0x0a" in the data reads
// the same as an escaped 0x0A, so the data are decoded the same way before
// they are compared (a no-op for data without such a literal).
std::string decode(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "\\0x") == 0 && i + kEscapeLength <= text.size()) {
      const int high = lowerHexValue(text[i + 3]), low = lowerHexValue(text[i + 4]);
      if (high >= 0 && low >= 0 && !printable(static_cast<uint8_t>(high * 16 + low))) {
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += kEscapeLength - 1;
        continue;
      }
    }
    bytes.push_back(text[i]);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = companion::formatData(data, static_cast<uint32_t>(size));
  const auto printableCount = static_cast<size_t>(std::count_if(data, data + size, printable));
  const size_t expectedLength = printableCount + kEscapeLength * (size - printableCount);

  const bool bytesOk = std::all_of(text.begin(), text.end(), [](char c) { return printable(static_cast<uint8_t>(c)); });
  const bool lengthOk = text.size() == expectedLength;
  const bool decodeOk = decode(text) == decode(std::string(data, data + size));
  if (!(bytesOk && lengthOk && decodeOk)) __builtin_trap();
  return 0;
}
