// The strict parser of the companion's log.
#include "log_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "file.h"

namespace companion_test {

std::vector<std::string> Log::messages(const char* tag) const {
  std::vector<std::string> result;
  for (const Record& record : records) {
    if (tag == nullptr || record.tag == tag) result.push_back(record.message);
  }
  return result;
}

bool Log::has(const std::string& message) const {
  return std::any_of(records.begin(), records.end(), [&](const Record& r) { return r.message == message; });
}

size_t Log::count(const std::string& prefix) const {
  return std::count_if(records.begin(), records.end(), [&](const Record& r) { return r.message.rfind(prefix, 0) == 0; });
}

std::string Log::tagOf(const std::string& message) const {
  for (const Record& record : records) {
    if (record.message == message) return record.tag;
  }
  return "";
}

Log parseLog(const std::string& text) {
  const std::string lineEnd = companion::kLineEnd;
  Log log;
  size_t begin = 0;
  for (size_t end; (end = text.find(lineEnd, begin)) != std::string::npos; begin = end + lineEnd.size()) {
    const std::string line = text.substr(begin, end - begin);
    log.lines.push_back(line);
    if (line.empty()) continue;
    std::optional<Record> record = companion::parseLogRecord(line);
    if (!record) {
      ADD_FAILURE() << "malformed log line: " << line.substr(0, 300);
      continue;
    }
    log.records.push_back(std::move(*record));
  }
  if (begin != text.size()) ADD_FAILURE() << "the log does not end with its line end: " << text.substr(begin, 300);
  return log;
}

Log parseLastRun(const std::string& text) {
  const std::string lineEnd = companion::kLineEnd;
  // The empty line that follows an earlier line; a log whose only empty line
  // is its first is one run.
  const size_t start = text.rfind(lineEnd + lineEnd);
  return parseLog(start == std::string::npos ? text : text.substr(start + lineEnd.size()));
}

}  // namespace companion_test
