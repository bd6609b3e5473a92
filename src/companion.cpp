// The platform-neutral companion: start-up, relay run, rendezvous name, logger
// and formatter. Reaches the operating system only through the virtual
// operations of CompanionBase and the file access of file.h.
#include "companion.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "sha1.h"

namespace companion {

bool debugEnabled = false;

namespace {

LogCallback logCallback;

constexpr char kSuffixFileName[] = "/companion.suffix";
constexpr char kDebugFileName[] = "/companion.debug";
constexpr char kLogFileName[] = "/companion.log";
constexpr char kRotatedLogFileName[] = "/companion.log.1";

const char* levelTag(LoggerLevel level) {
  switch (level) {
    case LoggerLevel::Info: return "[INFO]    ";
    case LoggerLevel::Warning: return "[WARNING] ";
    case LoggerLevel::Error: return "[ERROR]   ";
    case LoggerLevel::Critical: return "[CRITICAL]";
    default: return "[DEBUG]   ";
  }
}

bool isPrintableAscii(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

std::string toLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

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

  char text[32];
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

std::string Formatter::str() const {
  const std::string& f = format_;
  const size_t n = f.size();
  std::string result;
  result.reserve(n + 512);
  size_t copied = 0;
  size_t pos = 0;
  while (pos < n) {
    const size_t p = f.find('%', pos);
    if (p == std::string::npos || p + 1 == n) break;
    size_t e = p + 1;
    while (e < n && f[e] >= '0' && f[e] <= '9') ++e;
    if (e == p + 1) {
      if (f[p + 1] == '%') {
        result.append(f, copied, p - copied).push_back('%');
        copied = p + 2;
      }
      pos = p + 2;
      continue;
    }
    // Markers count from 1; %0 and indexes that overflow name no argument.
    uint64_t index = 0;
    for (size_t i = p + 1; i < e && index <= arguments_.size(); ++i) index = index * 10 + (f[i] - '0');
    if (index >= 1 && index <= arguments_.size()) {
      result.append(f, copied, p - copied).append(arguments_[static_cast<size_t>(index - 1)]);
      copied = e;
    }
    pos = e;
  }
  if (copied < n) result.append(f, copied, n - copied);
  return result;
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
  path_ = path;
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

void LogFile::close() {
  if (!file_.isOpen()) return;
  file_.close();
  path_.clear();
}

std::string readSuffixLine(std::istream& in) {
  std::string line;
  std::istreambuf_iterator<char> it(in), end;
  for (; it != end && *it != '\n' && line.size() < kMaxSuffixLineBytes; ++it) line.push_back(*it);
  return line;
}

std::string cleanSuffix(const std::string& firstLine) {
  std::string suffix;
  for (char c : firstLine) {
    if (isPrintableAscii(static_cast<uint8_t>(c))) suffix.push_back(c);
  }
  if (!suffix.empty() && suffix.front() != '.') suffix.insert(suffix.begin(), '.');
  return suffix;
}

std::string socketSuffixFor(std::string logSuffix) {
  for (char& c : logSuffix) {
    if (c == '.') c = '-';
  }
  return logSuffix;
}

CompanionBase::CompanionBase() : stdBuffer(kRelayBufferSize), socketBuffer(kRelayBufferSize) {}

CompanionBase::~CompanionBase() {
  COMPANION_LOG(LoggerLevel::Info, "Logger stoped");
  logFile.close();
  setLogCallback(LogCallback());
}

void CompanionBase::readSuffixFile(const std::string& path) {
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  if (!in.is_open()) return;
  logSuffix = cleanSuffix(readSuffixLine(in));
  socketSuffix = socketSuffixFor(logSuffix);
}

void CompanionBase::init(int /*argc*/, const char* const argv[]) {
  const std::string executableDir = getExecutableDir(argv[0]);
  readSuffixFile(executableDir + kSuffixFileName);
  processId = static_cast<int32_t>(getProcessId());

  if (toLowerAscii(logSuffix).find("debug") != std::string::npos || fileExists(executableDir + kDebugFileName)) {
    debugEnabled = true;
  }

  logWriter = [this](LoggerLevel level, const std::string& message, const std::string& file, int32_t line) {
    writeLogLine(level, message, file, line);
  };
  setLogCallback(logWriter);
  openLog();
}

void CompanionBase::openLog() {
  const std::string logDir = getLogDir();
  createDirectories(logDir);
  const std::string logPath = logDir + kLogFileName;
  if (fileSize(logPath) > kRotationThreshold) {
    const std::string rotatedPath = logDir + kRotatedLogFileName;
    removeFile(rotatedPath);
    renameFile(logPath, rotatedPath);
    removeFile(logPath);
  }
  logFile.open(logPath);

  COMPANION_LOG(LoggerLevel::Info, "Logger started: %1, version %2, %3", logPath, kVersion, getPlatformName());
  COMPANION_LOG(LoggerLevel::Info, "Suffix for log: '%1'", logSuffix);
  COMPANION_LOG(LoggerLevel::Info, "Suffix for socket: '%1'", socketSuffix);
}

int32_t CompanionBase::run() {
  COMPANION_LOG(LoggerLevel::Debug, "Connect to socket");
  int32_t code = connectSocket();
  if (code != kCodeSuccess) {
    COMPANION_LOG(LoggerLevel::Debug, "Fail connet to socket: %1", code);
    return code;
  }
  COMPANION_LOG(LoggerLevel::Info, "Connected to socket");

  COMPANION_LOG(LoggerLevel::Debug, "Connect to std");
  code = connectStd();
  if (code != kCodeSuccess) {
    COMPANION_LOG(LoggerLevel::Debug, "Fail connect to std: %1", code);
    return code;
  }
  COMPANION_LOG(LoggerLevel::Info, "Connected to std");

  COMPANION_LOG(LoggerLevel::Info, "Loop started");
  code = runLoop();
  COMPANION_LOG(LoggerLevel::Info, "Loop stoped");
  closeAll();
  COMPANION_LOG(LoggerLevel::Info, "Return code: %1", code);
  return code;
}

std::string CompanionBase::getSocketPath() {
  const std::string userId = getUserId();
  COMPANION_LOG(LoggerLevel::Info, "User id: %1", userId);
  sha1::SHA1 digest;
  digest.addBytes(userId);
  const std::string socketPath = getSocketPathPrefix() + sha1::toText(digest.finish()) + socketSuffix;
  COMPANION_LOG(LoggerLevel::Info, "Socket path: %1", socketPath);
  return socketPath;
}

void CompanionBase::writeLogLine(LoggerLevel level, const std::string& message, const std::string& file,
                                 int32_t line) {
  const std::string text = Formatter("%1\tUTC\t[%2]\t%3:\t%4\t[%5:%6]", formatUtcTime(std::chrono::system_clock::now()),
                                     processId, levelTag(level), message, file, line)
                               .str();
  std::lock_guard<std::mutex> lock(logMutex);
  logFile.writeLine(text);
}

}  // namespace companion
