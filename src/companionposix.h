// CompanionPosix: what every POSIX platform layer shares. The agent serves a
// Unix stream socket; the pumps block in read and write (a write that the
// agent holds up in poll, which also sees the browser leave), which a signal
// to the pump's thread cancels; standard streams are pipes or sockets. A
// platform (CompanionLinux) adds its paths (platform_paths.h), its name and
// how it learns who serves a socket.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>

#include "companion_shared.h"
#include "relay_pumps.h"

namespace companion {

class CompanionPosix : public CompanionShared, private RelayPumps {
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

  // The error number logged when a read finds the end of its stream, the
  // counterpart of a broken pipe on Windows.
  static constexpr int32_t kEndOfStreamError = EPIPE;
  // The error number logged when a transfer is abandoned because the other
  // direction ended.
  static constexpr int32_t kCancelledError = ECANCELED;
  // Sent to a pump's thread to make its blocked call fail. SIGURG is ignored
  // by default, so one arriving from outside changes nothing.
  static constexpr int kCancelSignal = SIGURG;

  // The owner of a name planted at the rendezvous path in a directory that is
  // not the user's alone (the /tmp fallback): a link, or a socket file of
  // someone else, which the companion refuses before connecting.
  static std::optional<uid_t> plantedBy(const std::string& socketPath);

  // The directory part of a path: everything before the last '/', or the
  // whole path when it has none.
  static std::string directoryOf(const std::string& path);
  // The directory of the program path made absolute; the path itself when it
  // cannot be.
  static std::string directoryOfProgram(const char* programPath);

 protected:
  // A new Unix stream socket, non-blocking and closed on exec; -1 with errno.
  virtual int openStreamSocket() = 0;
  // The user id of the process that serves the connected socket.
  virtual bool serverUid(int socket, uid_t& uid) = 0;

 private:
  int32_t connectOne(std::atomic<int>& fd, const std::string& socketPath);
  bool takeStdHandle(std::atomic<int>& field, int fd, bool closedAtStart, const char* name);
  std::atomic<int>& descriptorOf(Channel channel);
  // Transfers once, waiting while the descriptor is not ready; the count, or
  // minus the error number (kCancelledError once the relay is stopping).
  template <typename Move>
  Transfer transferWhenReady(int fd, short events, Move move);
  Transfer readSome(Channel channel, uint8_t* data, uint32_t size) override;
  Transfer writeSome(Channel channel, const uint8_t* data, uint32_t size) override;
  Transfer writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) override;
  void cancelTransfers(const Pump& pump) override;
  void pumpStarting(const Pump& pump) override;

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
  // The threads that run the two pumps, for the cancellation signal; set and
  // read under the pumps' mutex.
  pthread_t socketThread{};
  pthread_t stdThread{};
};

}  // namespace companion
