// The ways a browser reaches the agent (through the companion, through socat, or directly) and one session of each.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "process.h"
#include "scoped_fd.h"

namespace companion_bench {

// What every relay of one run shares: the agent program and the environment
// with the run's private directories (the companion's rendezvous socket is
// derived from it).
struct Site {
  std::string agentProgram;
  std::vector<std::string> environment;
};

struct Relay {
  std::string name;
  // The relay program and its arguments; empty for a direct connection.
  std::vector<std::string> command;
  // The socket of a relay that reads and writes one connection, which the
  // agent serves with --single; empty for one that connects twice to the
  // rendezvous socket, as the companion does.
  std::string singleSocket;
  // Bytes each way in the throughput runs.
  size_t throughputBytes = 0;
};

// The example agent, serving the relay's kind of session in one mode (the
// options: none for echo, --swallow, --send N) for as long as it lives.
class Agent {
 public:
  Agent(const Site& site, const Relay& relay, const std::vector<std::string>& options);
  // Stops the agent; it removes its socket file.
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

 private:
  Child child_;
};

// One browser's connection to the agent: a started relay process with pipes
// on its standard streams, or a socket connected to the agent.
class Session {
 public:
  Session(const Site& site, const Relay& relay);

  int toAgent() const { return process_ ? process_->input() : socket_.get(); }
  int fromAgent() const { return process_ ? process_->output() : socket_.get(); }
  // The relay's process id; nothing for a direct connection.
  std::optional<pid_t> pid() const;
  // The relay process's resident-memory high-water mark so far, in MiB.
  double peakResidentMiB() const;
  // CPU time the relay process has used so far, in seconds, all threads.
  double cpuSeconds() const;
  // Closes the browser's side; for a relay process, waits for its exit and
  // returns the seconds from the close to the exit.
  double endInput();

 private:
  std::optional<Child> process_;
  companion::ScopedFd socket_;
};

// Ends the session, raising peakResidentMiB (NaN before the first) to the
// relay process's peak memory; the seconds from the end of input to the exit.
double finishSession(Session& session, double& peakResidentMiB);

}  // namespace companion_bench
