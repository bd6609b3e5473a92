// The example agent's server: accepts companions on a Unix socket and serves each one's pair of connections.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "agent_options.h"
#include "scoped_fd.h"

namespace companion_agent {

class Server {
 public:
  explicit Server(Options options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // Removes the socket file if it is still the one this server bound.
  ~Server();

  // Creates the socket and listens; false, with the reason on stderr, when
  // the path cannot be served.
  bool listen();
  // Serves until stopSignal is set or the last of --sessions has gone.
  // waitMask is the signal mask under which the stop signals get through.
  void serve(const volatile sig_atomic_t& stopSignal, const sigset_t& waitMask);

 private:
  using Clock = std::chrono::steady_clock;

  // One companion: its two connections, told apart by the order in which
  // they arrive from the same process id.
  struct Session {
    pid_t pid = 0;
    companion::ScopedFd down;  // the companion reads it
    companion::ScopedFd up;    // the companion writes it
    bool paired = false;             // the second connection came, even if refused
    std::string pending;             // bytes queued for down
    uint64_t patternQueued = 0;
    uint64_t received = 0;
    uint64_t sent = 0;
    // --read-every: when the next read may be made, and the end of the slow
    // reads once the first has been made.
    Clock::time_point nextRead{};
    std::optional<Clock::time_point> slowUntil;
    bool finished() const { return !down.valid() && !up.valid(); }
  };

  bool removeStaleSocket();
  void fillBacklog();
  void acceptAll();
  void pair(Session& session, companion::ScopedFd second);
  bool wantsToWrite(const Session& session) const;
  bool wantsToRead(const Session& session) const;
  // Whether the session reads at the --read-every pace now.
  bool readsSlowly(const Session& session) const;
  // How long poll may wait before a paced read is due; null for no limit.
  const timespec* untilNextPacedRead(timespec& storage) const;
  void readUp(Session& session);
  void watchDown(Session& session, short events);
  void pump(Session& session);
  // Reports and drops sessions whose connections are both closed; true when
  // --sessions is reached.
  bool reapFinished();

  Options options_;
  companion::ScopedFd listener_;
  std::vector<companion::ScopedFd> backlogFillers_;
  dev_t boundDevice_ = 0;
  ino_t boundInode_ = 0;
  std::list<Session> sessions_;
  uint64_t sessionsDone_ = 0;
};

}  // namespace companion_agent
