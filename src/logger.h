// The logger: levels, the log statement and its process-wide callback, the
// log file, and the renderings of time and relayed bytes that records use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "file.h"
#include "formatter.h"

namespace companion {

enum class LoggerLevel : int32_t { Debug = 0, Info = 1, Warning = 2, Error = 3, Critical = 4 };

using LogCallback =
    std::function<void(LoggerLevel level, const std::string& message, const std::string& file, int32_t line)>;

// Set by start-up only, never cleared; Debug statements run only while it is
// true. Written while the main thread is the only thread, read without a lock.
extern bool debugEnabled;

// Replaces the process-wide log callback; an empty callable switches logging off.
void setLogCallback(const LogCallback& callback);

// Hands one record to the process-wide callback; does nothing while it is empty.
void log(LoggerLevel level, const std::string& message, const std::string& file, int32_t line);

// The log statement: a Debug statement costs one flag test while debug
// logging is off, and its arguments are neither rendered nor formatted.
#define COMPANION_LOG(level, ...)                                                             \
  do {                                                                                        \
    if ((level) != ::companion::LoggerLevel::Debug || ::companion::debugEnabled)              \
      ::companion::log((level), ::companion::Formatter(__VA_ARGS__).str(), __FILE__, __LINE__); \
  } while (0)

// The tag of a level in a record, padded to one width.
const char* levelTag(LoggerLevel level);

// "YYYY-MM-DD hh:mm:ss" of the time in UTC, the fraction of a second cut off.
std::string formatUtcTime(std::chrono::system_clock::time_point time);

// The bytes a record shows as they are: 0x20..0x7E.
inline bool isPrintableAscii(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

// Renders relayed bytes for the log: printable ASCII as is, every other byte
// as "\0x" and two lowercase hexadecimal digits.
std::string formatData(const uint8_t* data, uint32_t length);

// The log file: opened for appending, one whole line per write, each line
// handed to the operating system before writeLine returns.
class LogFile {
 public:
  // Closes an open file, opens the path (UTF-8) for appending and writes an
  // empty line when the open succeeded.
  void open(const std::string& path);
  // Appends the text (UTF-8, without line end) and the platform's line end.
  void writeLine(const std::string& text);
  void close();
  bool isOpen() const { return file_.isOpen(); }

 private:
  AppendFile file_;
};

}  // namespace companion
