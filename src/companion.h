// CompanionBase: the one companion object of the process, with its
// platform-neutral start-up, relay run, rendezvous name and log writer.
//
// The standard streams, the agent's channel, the process, the user, the
// paths and start-up's file-system steps are pure virtual operations; a
// platform layer (CompanionWindows, CompanionLinux) derives from it, through
// CompanionShared, which answers the user, the paths and the file-system
// steps with platform_paths.h and the files:: functions of file.h. The rest of
// the file access is not virtual: reading the suffix file (readRegularFile),
// the rotation lock (FileLock) and the log's appends (AppendFile) call the
// file layer of file.h directly, which each platform implements once
// (file_posix.cpp, file_win.cpp). This header includes no platform header.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log_record.h"
#include "logger.h"
#include "relay_pumps.h"
#include "return_codes.h"
#include "version.h"

namespace companion {

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
  // The state the platform's relay pumps share: this object's buffers with
  // the platform's result codes and flags.
  RelayState relayState(std::atomic<int32_t>& socketResult, std::atomic<int32_t>& stdResult,
                        std::atomic<bool>& socketDone, std::atomic<bool>& stdDone, std::atomic<bool>& stopRequested);

  // What start-up decided, for the platform layers and for tests.
  const std::string& currentLogSuffix() const { return logSuffix; }
  const std::string& currentSocketSuffix() const { return socketSuffix; }
  int32_t currentProcessId() const { return processId; }

 private:
  void openLog();
  void rotateLog(const std::string& logPath, const std::string& rotatedPath);

  std::string logSuffix;
  std::string socketSuffix;
  std::vector<uint8_t> stdBuffer;
  std::vector<uint8_t> socketBuffer;
  uint32_t stdCount = 0;
  uint32_t socketCount = 0;
  LogFile logFile;
  // The object's bound writer; the process-wide callback holds a copy of it.
  // The destructor empties that callback before the writer goes.
  LogCallback logWriter;
  int32_t processId = -1;
  std::mutex logMutex;
};

}  // namespace companion
