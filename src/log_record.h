// The log record: the one line format that the companion writes, the texts
// of it that other programs read, and the parser they read it with.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "logger.h"

namespace companion {

// Stored logs hold these texts, and companion-doctor and the tests read them:
// keep each exactly as it is, misspellings included.
// The first record of a start: %1 the log's path, %2 the version, %3 the platform.
constexpr char kLoggerStartedFormat[] = "Logger started: %1, version %2, %3";
// The record of a run's exit code, %1.
constexpr char kReturnCodeFormat[] = "Return code: %1";
// The last record of a process that ended normally.
constexpr char kLoggerStoppedMessage[] = "Logger stoped";
// A message on its way to the browser that the browsers refuse: %1 its
// length, %2 their limit.
constexpr char kOversizedMessageFormat[] = "Message to stdout of %1 bytes is over the browsers' limit of %2 bytes";

// One record: "time\tUTC\t[pid]\ttag:\tmessage\t[file:line]".
struct LogRecord {
  std::string time;  // "YYYY-MM-DD hh:mm:ss", UTC
  int64_t processId = 0;
  std::string tag;  // the level's tag, 10 characters
  std::string message;
  std::string location;  // "file:line"
};

// The record's line, without its line end.
std::string formatLogRecord(std::chrono::system_clock::time_point time, int32_t processId, LoggerLevel level,
                            const std::string& message, const std::string& file, int32_t line);

// The record a line (without its line end) holds; nothing when it is not one.
// The message is what lies between the level's field and the last tab, so a
// message may hold tabs (a path may).
std::optional<LogRecord> parseLogRecord(const std::string& line);

}  // namespace companion
