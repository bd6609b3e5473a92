// Fuzz target: companion::Formatter against a plain one-pass reference of the marker rules.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "formatter.h"

namespace {

using companion::Formatter;
using Args = std::vector<Formatter::Arg>;

// Enough arguments for two-digit markers such as %10 and %12 to name one.
constexpr size_t kMaxArgs = 12;

// Reads the input as: the format up to the first NUL, then arguments, each a
// kind byte (value mod 4: 0 byte string, 1 NUL-terminated string, 2 signed,
// 3 unsigned) followed by text up to the next NUL or four little-endian bytes.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : next_(data), end_(data + size) {}
  bool done() const { return next_ == end_; }
  uint8_t byte() { return *next_++; }
  std::string text() {
    std::string bytes;
    while (!done() && *next_ != 0) bytes.push_back(static_cast<char>(byte()));
    if (!done()) ++next_;
    return bytes;
  }
  uint32_t word() {
    uint32_t value = 0;
    for (int shift = 0; shift < 32 && !done(); shift += 8) value |= uint32_t{byte()} << shift;
    return value;
  }

 private:
  const uint8_t* next_;
  const uint8_t* end_;
};

std::string decimal(long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lld", value);
  return text;
}

// Appends one argument of the kind the input picks, and the text it must render to.
void addArgument(Reader& in, Args& args, std::vector<std::string>& texts) {
  switch (in.byte() % 4) {
    case 0:
      texts.push_back(in.text());
      args.emplace_back(texts.back());
      break;
    case 1:
      texts.push_back(in.text());
      args.emplace_back(texts.back().c_str());
      break;
    case 2: {
      const auto value = static_cast<int32_t>(in.word());
      args.emplace_back(value);
      texts.push_back(decimal(value));
      break;
    }
    default: {
      const uint32_t value = in.word();
      args.emplace_back(value);
      texts.push_back(decimal(value));
    }
  }
}

// Scans once, left to right; inserted texts are never looked at again.
std::string reference(const std::string& format, const std::vector<std::string>& texts) {
  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    const size_t marker = i++;
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Saturating keeps long digit runs from wrapping back into range.
    size_t index = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i)
      index = std::min(index * 10 + static_cast<size_t>(format[i] - '0'), texts.size() + 1);
    if (index >= 1 && index <= texts.size())
      out += texts[index - 1];
    else
      out.append(format, marker, i - marker);
  }
  return out;
}

// The formatter takes its arguments as a parameter pack, so each count needs its own call.
template <size_t... I>
std::string formatWith(const std::string& format, const Args& args, std::index_sequence<I...>) {
  return Formatter(format, args[I]...).str();
}

template <size_t N>
std::string formatCount(const std::string& format, const Args& args) {
  return formatWith(format, args, std::make_index_sequence<N>());
}

using FormatFn = std::string (*)(const std::string&, const Args&);

template <size_t... N>
constexpr std::array<FormatFn, sizeof...(N)> formatTable(std::index_sequence<N...>) {
  return {&formatCount<N>...};
}

constexpr auto kFormatByCount = formatTable(std::make_index_sequence<kMaxArgs + 1>());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const std::string format = in.text();
  Args args;
  std::vector<std::string> texts;
  while (!in.done() && args.size() < kMaxArgs) addArgument(in, args, texts);
  if (kFormatByCount[args.size()](format, args) != reference(format, texts)) __builtin_trap();
  return 0;
}
