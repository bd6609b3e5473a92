// A CompanionBase whose platform records every call and answers from a script.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "companion.h"
#include "temp_dir.h"
#include "test_files.h"

namespace companion_test {

using companion_support::TempDir;

class FakePlatform : public companion::CompanionBase {
 public:
  // Scripted answers.
  std::string executableDir;
  std::string logDir;
  std::string userId = "S-1-5-21-1111111111-2222222222-3333333333-1001";
  std::set<std::string> existingPaths;
  std::map<std::string, uint64_t> fileSizes;
  int32_t socketCode = 0;
  int32_t stdCode = 0;
  int32_t loopCode = companion::kCodeReadFailed;
  uint32_t processIdAnswer = 4321;

  // Every platform call, in order, as "name(arguments)".
  std::vector<std::string> calls;

  // The calls of one operation, in order.
  std::vector<std::string> callsOf(const std::string& operation) const;
  // Starts the companion with both its program and its log in the directory.
  void startIn(const std::string& dir);

  // What start-up decided.
  const std::string& logSuffix() const { return currentLogSuffix(); }
  const std::string& socketSuffix() const { return currentSocketSuffix(); }
  int32_t processId() const { return currentProcessId(); }
  // The relay buffers, with results and flags of the fake's own.
  companion::RelayState relay() { return relayState(socketResult_, stdResult_, socketDone_, stdDone_, stopRequested_); }

  int32_t runLoop() override { return record("runLoop()", loopCode); }
  int32_t connectSocket() override { return record("connectSocket(" + getSocketPath() + ")", socketCode); }
  int32_t connectStd() override { return record("connectStd()", stdCode); }
  void closeAll() override { calls.push_back("closeAll()"); }
  uint32_t getProcessId() override { return record("getProcessId()", processIdAnswer); }
  std::string getUserId() override { return record("getUserId()", userId); }
  std::string getSocketPathPrefix() override { return record("getSocketPathPrefix()", std::string("\\\\.\\pipe\\vantro-")); }
  std::string getLogDir() override { return record("getLogDir(" + logSuffix() + ")", logDir); }
  std::string getPlatformName() override { return record("getPlatformName()", std::string("fake")); }
  void createDirectories(const std::string& path) override;
  uint64_t fileSize(const std::string& path) override;
  void removeFile(const std::string& path) override;
  void renameFile(const std::string& from, const std::string& to) override;
  bool fileExists(const std::string& path) override { return record("fileExists(" + path + ")", existingPaths.count(path) > 0); }
  std::string getExecutableDir(const char* programPath) override {
    return record(std::string("getExecutableDir(") + programPath + ")", executableDir);
  }

 private:
  template <typename T>
  T record(std::string call, T answer) {
    calls.push_back(std::move(call));
    return answer;
  }

  std::atomic<int32_t> socketResult_{0};
  std::atomic<int32_t> stdResult_{0};
  std::atomic<bool> socketDone_{false};
  std::atomic<bool> stdDone_{false};
  std::atomic<bool> stopRequested_{false};
};

}  // namespace companion_test
