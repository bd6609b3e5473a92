// The log record's format and its parser.
#include "log_record.h"

#include <cstring>

#include "formatter.h"

namespace companion {
namespace {

constexpr char kRecordFormat[] = "%1\tUTC\t[%2]\t%3:\t%4\t[%5:%6]";
constexpr size_t kTimeLength = 19;
constexpr size_t kTagLength = 10;
constexpr LoggerLevel kLevels[] = {LoggerLevel::Debug, LoggerLevel::Info, LoggerLevel::Warning, LoggerLevel::Error,
                                   LoggerLevel::Critical};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD hh:mm:ss": digits but for the separators.
bool isTime(const std::string& text) {
  static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kTimeLength) return false;
  for (size_t i = 0; i < kTimeLength; ++i) {
    if (kShape[i] == 'd' ? !isDigit(text[i]) : text[i] != kShape[i]) return false;
  }
  return true;
}

// A decimal number with an optional minus sign, filling the text.
bool isNumber(const std::string& text) {
  const size_t first = !text.empty() && text[0] == '-' ? 1 : 0;
  if (first == text.size() || text.size() - first > 18) return false;
  for (size_t i = first; i < text.size(); ++i) {
    if (!isDigit(text[i])) return false;
  }
  return true;
}

bool isTag(const std::string& text) {
  for (const LoggerLevel level : kLevels) {
    if (text == levelTag(level)) return true;
  }
  return false;
}

// Takes the text up to the next occurrence of the delimiter, and the
// delimiter; false when there is none.
bool take(const std::string& line, size_t& at, const char* delimiter, std::string& field) {
  const size_t end = line.find(delimiter, at);
  if (end == std::string::npos) return false;
  field = line.substr(at, end - at);
  at = end + std::strlen(delimiter);
  return true;
}

}  // namespace

std::string formatLogRecord(std::chrono::system_clock::time_point time, int32_t processId, LoggerLevel level,
                            const std::string& message, const std::string& file, int32_t line) {
  return Formatter(kRecordFormat, formatUtcTime(time), processId, levelTag(level), message, file, line).str();
}

std::optional<LogRecord> parseLogRecord(const std::string& line) {
  LogRecord record;
  std::string zone, processId, location;
  size_t at = 0;
  if (!take(line, at, "\t", record.time) || !isTime(record.time) || !take(line, at, "\t[", zone) || zone != "UTC" ||
      !take(line, at, "]\t", processId) || !isNumber(processId) || line.size() < at + kTagLength + 2) {
    return std::nullopt;
  }
  record.processId = std::stoll(processId);
  record.tag = line.substr(at, kTagLength);
  at += kTagLength;
  if (!isTag(record.tag) || line.compare(at, 2, ":\t") != 0) return std::nullopt;
  at += 2;
  // The location is the last field; the message may hold tabs.
  const size_t locationAt = line.rfind("\t[");
  if (locationAt == std::string::npos || locationAt < at || line.back() != ']') return std::nullopt;
  record.message = line.substr(at, locationAt - at);
  record.location = line.substr(locationAt + 2, line.size() - locationAt - 3);
  const size_t colon = record.location.rfind(':');
  if (colon == std::string::npos || colon == 0 || !isNumber(record.location.substr(colon + 1)) ||
      record.location.find('\t') != std::string::npos) {
    return std::nullopt;
  }
  return record;
}

}  // namespace companion
