// The strict parser of the companion's log.
#include "log_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

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
  // A record without its message: std::regex recurses once per character,
  // and a long message (a debug record of a full relay buffer) would
  // overflow the stack, so the message is cut out by hand.
  static const std::regex kFrame(
      R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\tUTC\t\[(-?\d+)\]\t)"
      R"((\[DEBUG\]   |\[INFO\]    |\[WARNING\] |\[ERROR\]   |\[CRITICAL\]):\t\t\[([^\t]+:-?\d+)\]$)");
  const std::string lineEnd = companion::kLineEnd;
  Log log;
  size_t begin = 0;
  for (size_t end; (end = text.find(lineEnd, begin)) != std::string::npos; begin = end + lineEnd.size()) {
    const std::string line = text.substr(begin, end - begin);
    log.lines.push_back(line);
    if (line.empty()) continue;
    // The message lies between the fourth tab and the last one.
    size_t messageBegin = 0;
    for (int tab = 0; tab < 4 && messageBegin != std::string::npos; ++tab) {
      messageBegin = line.find('\t', messageBegin);
      if (messageBegin != std::string::npos) ++messageBegin;
    }
    const size_t messageEnd = line.rfind('\t');
    const bool split = messageBegin != std::string::npos && messageBegin <= messageEnd;
    const std::string message = split ? line.substr(messageBegin, messageEnd - messageBegin) : "";
    const std::string frame = split ? line.substr(0, messageBegin) + line.substr(messageEnd) : "";
    std::smatch match;
    if (message.find('\t') != std::string::npos || !std::regex_match(frame, match, kFrame)) {
      ADD_FAILURE() << "malformed log line: " << line.substr(0, 300);
      continue;
    }
    log.records.push_back({match[1], std::stol(match[2]), match[3], message, match[4]});
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
