// The logger: the process-wide callback, the log file and the renderings
// records use.
#include "logger.h"

#include <cstdio>
#include <limits>
#include <utility>

namespace companion {

bool debugEnabled = false;

namespace {

LogCallback logCallback;

}  // namespace

const char* levelTag(LoggerLevel level) {
  switch (level) {
    case LoggerLevel::Info: return "[INFO]    ";
    case LoggerLevel::Warning: return "[WARNING] ";
    case LoggerLevel::Error: return "[ERROR]   ";
    case LoggerLevel::Critical: return "[CRITICAL]";
    default: return "[DEBUG]   ";
  }
}

// Computed here rather than with gmtime, which is not thread-safe, and both
// relay threads log.
std::string formatUtcTime(std::chrono::system_clock::time_point time) {
  const auto sinceEpoch = time.time_since_epoch();
  int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
  if (std::chrono::seconds(seconds) > sinceEpoch) --seconds;  // truncate towards the past
  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  // Room for the six fields at any value their type allows (a sign and 19
  // digits each), their five separators and the end: nothing else bounds the
  // year. A real date takes 19 characters.
  constexpr size_t kMostFieldChars = std::numeric_limits<long long>::digits10 + 2;
  char text[6 * kMostFieldChars + 5 + 1];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day),
                static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  return text;
}

void setLogCallback(const LogCallback& callback) {
  LogCallback copy(callback);
  std::swap(logCallback, copy);
}

void log(LoggerLevel level, const std::string& message, const std::string& file, int32_t line) {
  if (!logCallback) return;
  LogCallback callback(logCallback);
  callback(level, message, file, line);
}

std::string formatData(const uint8_t* data, uint32_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 4u);
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t byte = data[i];
    if (isPrintableAscii(byte)) {
      text.push_back(static_cast<char>(byte));
    } else {
      const char escaped[] = {'\\', '0', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
      text.append(escaped, sizeof escaped);
    }
  }
  return text;
}

void LogFile::open(const std::string& path) {
  close();
  file_.open(path);
  writeLine(std::string());
}

void LogFile::writeLine(const std::string& text) {
  if (!file_.isOpen()) return;
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append(kLineEnd);
  file_.append(line.data(), line.size());
}

void LogFile::close() { file_.close(); }

}  // namespace companion
