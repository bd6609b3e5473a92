// CompanionBase: start-up, relay run, rendezvous name and the log writer.
// Reaches the operating system only through the virtual operations and the
// file access of file.h.
#include "companion.h"

#include "rendezvous.h"
#include "suffix.h"

namespace companion {

CompanionBase::CompanionBase() : stdBuffer(kRelayBufferSize), socketBuffer(kRelayBufferSize) {}

CompanionBase::~CompanionBase() {
  COMPANION_LOG(LoggerLevel::Info, kLoggerStoppedMessage);
  logFile.close();
  setLogCallback(LogCallback());
}

void CompanionBase::init(int /*argc*/, const char* const argv[]) {
  const std::string executableDir = getExecutableDir(argv[0]);
  logSuffix = logSuffixBeside(executableDir);
  socketSuffix = socketSuffixFor(logSuffix);
  processId = static_cast<int32_t>(getProcessId());
  // A suffix that asks for it spares the look for the marker.
  if (suffixAsksForDebug(logSuffix) || fileExists(pathIn(executableDir, kDebugMarkerName))) debugEnabled = true;

  logWriter = [this](LoggerLevel level, const std::string& message, const std::string& file, int32_t line) {
    writeLogLine(level, message, file, line);
  };
  setLogCallback(logWriter);
  openLog();
}

void CompanionBase::openLog() {
  const std::string logDir = getLogDir();
  createDirectories(logDir);
  const std::string logPath = pathIn(logDir, kLogFileName);
  if (fileSize(logPath) > kRotationThreshold) rotateLog(logPath, pathIn(logDir, kRotatedLogFileName));
  logFile.open(logPath);

  COMPANION_LOG(LoggerLevel::Info, kLoggerStartedFormat, logPath, kVersion, getPlatformName());
  COMPANION_LOG(LoggerLevel::Info, "Suffix for log: '%1'", logSuffix);
  COMPANION_LOG(LoggerLevel::Info, "Suffix for socket: '%1'", socketSuffix);
}

void CompanionBase::rotateLog(const std::string& logPath, const std::string& rotatedPath) {
  // Companions starting together take turns; one that finds the log rotated
  // by another meanwhile leaves it, or it would replace the rotated log with
  // a fresh one.
  const FileLock lock(logPath);
  if (!lock.holds(logPath) || fileSize(logPath) <= kRotationThreshold) return;
  removeFile(rotatedPath);
  renameFile(logPath, rotatedPath);
  removeFile(logPath);
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
  COMPANION_LOG(LoggerLevel::Info, kReturnCodeFormat, code);
  return code;
}

RelayState CompanionBase::relayState(std::atomic<int32_t>& socketResult, std::atomic<int32_t>& stdResult,
                                     std::atomic<bool>& socketDone, std::atomic<bool>& stdDone,
                                     std::atomic<bool>& stopRequested) {
  return {stdBuffer, stdCount, socketBuffer, socketCount, socketResult, stdResult, socketDone, stdDone, stopRequested};
}

std::string CompanionBase::getSocketPath() {
  const std::string userId = getUserId();
  COMPANION_LOG(LoggerLevel::Info, "User id: %1", userId);
  const std::string socketPath = socketPathFor(getSocketPathPrefix(), userId, socketSuffix);
  COMPANION_LOG(LoggerLevel::Info, "Socket path: %1", socketPath);
  return socketPath;
}

void CompanionBase::writeLogLine(LoggerLevel level, const std::string& message, const std::string& file,
                                 int32_t line) {
  const std::string text = formatLogRecord(std::chrono::system_clock::now(), processId, level, message, file, line);
  std::lock_guard<std::mutex> lock(logMutex);
  logFile.writeLine(text);
}

}  // namespace companion
