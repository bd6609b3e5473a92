// The platform-neutral companion: start-up, relay run, rendezvous name and logging.
//
// Everything that touches the operating system is a pure virtual operation of
// CompanionBase; a platform layer (CompanionWindows, CompanionPosix) derives
// from it. This header includes no platform header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "file.h"

namespace companion {

// The one version string: printed by --version and written into the first
// log record.
inline constexpr char kVersion[] = "1.0.2";

// Return codes of the relay run, which are also the process exit codes.
enum ReturnCode : int32_t {
  kCodeSuccess = 0,
  kCodeSocketNotFound = 240,
  kCodeSocketBusy = 241,
  kCodeSocketInvalid = 242,
  kCodeStdNotPipe = 243,
  kCodeReadFailed = 246,
  kCodeStdoutWriteFailed = 247,
  kCodeSocketWriteFailed = 249,
};

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

// Builds text from a format with numbered markers %1, %2, ... in one pass.
// Inserted argument texts are never scanned again; markers that name no
// argument, and a '%' followed by neither a digit nor '%', stay as written;
// "%%" gives one '%'.
class Formatter {
 public:
  // One argument: a byte string, a NUL-terminated string, or a 32-bit integer.
  class Arg {
   public:
    Arg(std::string text) : text_(std::move(text)) {}
    Arg(const char* text) : text_(text) {}
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                                        !std::is_same_v<Int, char> && sizeof(Int) <= 4>>
    Arg(Int value) : text_(std::to_string(value)) {}

   private:
    friend class Formatter;
    std::string text_;
  };

  template <typename... Args>
  explicit Formatter(std::string format, Args&&... args) : format_(std::move(format)) {
    arguments_.reserve(sizeof...(args));
    (arguments_.push_back(Arg(std::forward<Args>(args)).text_), ...);
  }

  std::string str() const;

 private:
  std::string format_;
  std::vector<std::string> arguments_;
};

// The log statement: a Debug statement costs one flag test while debug
// logging is off, and its arguments are neither rendered nor formatted.
#define COMPANION_LOG(level, ...)                                                             \
  do {                                                                                        \
    if ((level) != ::companion::LoggerLevel::Debug || ::companion::debugEnabled)              \
      ::companion::log((level), ::companion::Formatter(__VA_ARGS__).str(), __FILE__, __LINE__); \
  } while (0)

// "YYYY-MM-DD hh:mm:ss" of the time in UTC, the fraction of a second cut off.
std::string formatUtcTime(std::chrono::system_clock::time_point time);

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
  const std::string& path() const { return path_; }

 private:
  AppendFile file_;
  std::string path_;
};

class CompanionBase {
 public:
  CompanionBase();
  CompanionBase(const CompanionBase&) = delete;
  CompanionBase& operator=(const CompanionBase&) = delete;
  virtual ~CompanionBase();

  // Relays in both directions until one ends; returns the code of the first
  // direction to fail (246, 247 or 249).
  virtual int32_t runLoop() = 0;
  // Opens the agent's channel for reading, then for writing: 0, 240, 241 or 242.
  virtual int32_t connectSocket() = 0;
  // Takes standard input and output, which must be pipes: 0 or 243.
  virtual int32_t connectStd() = 0;
  virtual void closeAll() = 0;
  virtual uint32_t getProcessId() = 0;
  // Never empty: a fixed fallback text when the user cannot be identified.
  virtual std::string getUserId() = 0;
  virtual std::string getSocketPathPrefix() = 0;
  // The log directory for the current logSuffix; empty when unknown.
  virtual std::string getLogDir() = 0;
  virtual std::string getPlatformName() = 0;
  virtual void createDirectories(const std::string& path) = 0;
  virtual uint64_t fileSize(const std::string& path) = 0;
  virtual void removeFile(const std::string& path) = 0;
  virtual void renameFile(const std::string& from, const std::string& to) = 0;
  virtual bool fileExists(const std::string& path) = 0;
  virtual std::string getExecutableDir(const char* programPath) = 0;

  // Start-up: suffix file and debug marker, log callback, log directory,
  // rotation and the first records. Only argv[0] is read.
  void init(int argc, const char* const argv[]);
  // The relay run; its result is the process exit code.
  int32_t run();
  // Prefix, SHA-1 text of the user id, and the socket suffix.
  std::string getSocketPath();
  void writeLogLine(LoggerLevel level, const std::string& message, const std::string& file, int32_t line);

  // A log file strictly larger than this is rotated at start-up.
  static constexpr uint64_t kRotationThreshold = 10485760;
  static constexpr size_t kRelayBufferSize = 4096;

 protected:
  std::string logSuffix;
  std::string socketSuffix;
  std::vector<uint8_t> stdBuffer;
  std::vector<uint8_t> socketBuffer;
  uint32_t stdCount = 0;
  uint32_t socketCount = 0;
  LogFile logFile;
  LogCallback logWriter;
  int32_t processId = -1;
  std::mutex logMutex;

 private:
  void readSuffixFile(const std::string& path);
  void openLog();
};

// The first line of a suffix file: bytes up to the first '\n', at most
// kMaxSuffixLineBytes of them. A suffix names a pipe or socket and a
// directory, which no system allows to be that long; reading further would
// only cost time and memory.
inline constexpr size_t kMaxSuffixLineBytes = 65536;
std::string readSuffixLine(std::istream& in);

// Cleans the first line of a suffix file into the log suffix: only bytes
// 0x20..0x7E are kept, and a '.' is put in front when missing.
std::string cleanSuffix(const std::string& firstLine);

// The socket suffix for a log suffix: every '.' becomes '-'.
std::string socketSuffixFor(std::string logSuffix);

}  // namespace companion
