// CompanionPosix: the companion's platform layer for Linux and other POSIX
// systems, where the agent serves a Unix stream socket.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "companion.h"

namespace companion {

class CompanionPosix : public CompanionBase {
 public:
  // Holds any of the three standard descriptors that came closed with
  // /dev/null: the next file or socket opened would otherwise take that number
  // and pass for the standard stream.
  CompanionPosix();

  int32_t runLoop() override;
  int32_t connectSocket() override;
  int32_t connectStd() override;
  void closeAll() override;
  uint32_t getProcessId() override;
  std::string getUserId() override;
  std::string getSocketPathPrefix() override;
  std::string getLogDir() override;
  std::string getPlatformName() override;
  void createDirectories(const std::string& path) override;
  uint64_t fileSize(const std::string& path) override;
  void removeFile(const std::string& path) override;
  void renameFile(const std::string& from, const std::string& to) override;
  bool fileExists(const std::string& path) override;
  std::string getExecutableDir(const char* programPath) override;

  // The error number logged when a read finds the end of its stream, the
  // counterpart of a broken pipe on Windows.
  static constexpr int32_t kEndOfStreamError = EPIPE;
  // The error number logged when a transfer is abandoned because the other
  // direction ended.
  static constexpr int32_t kCancelledError = ECANCELED;
  // Sent to a pump's thread to make its blocked call fail. SIGURG is ignored
  // by default, so one arriving from outside changes nothing.
  static constexpr int kCancelSignal = SIGURG;

 private:
  struct Direction;

  int32_t connectOne(std::atomic<int>& fd, const std::string& socketPath);
  bool takeStdHandle(std::atomic<int>& field, int fd, bool closedAtStart, const char* name);
  void pump(const Direction& direction);
  void stopOther(const Direction& direction);
  // Transfers once, waiting while the descriptor is not ready; the count, or
  // minus the error number (kCancelledError once the relay is stopping).
  template <typename Transfer>
  ssize_t transferWhenReady(int fd, short events, Transfer transfer);
  bool readFrom(std::atomic<int>& fd, std::vector<uint8_t>& buffer, uint32_t& count, const char* name);
  bool writeTo(std::atomic<int>& fd, std::vector<uint8_t>& buffer, uint32_t& count, const char* name);

  bool stdinClosedAtStart = false;
  bool stdoutClosedAtStart = false;
  std::atomic<int> socketInFd{-1};
  std::atomic<int> socketOutFd{-1};
  std::atomic<int> stdinFd{-1};
  std::atomic<int> stdoutFd{-1};
  std::atomic<int32_t> socketResult{0};
  std::atomic<int32_t> stdResult{0};
  std::atomic<bool> socketDone{false};
  std::atomic<bool> stdDone{false};
  std::atomic<bool> stopRequested{false};
  // The threads that run the two pumps, for the cancellation signal, and what
  // a stopping pump waits on until the other is done.
  pthread_t socketThread{};
  pthread_t stdThread{};
  std::mutex doneMutex;
  std::condition_variable doneChanged;
};

}  // namespace companion
