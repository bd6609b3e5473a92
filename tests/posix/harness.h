// The one fixture of the Linux end-to-end tests: a private sandbox, the example agent, and a launcher for the companion.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process_posix.h"
#include "io_posix.h"
#include "log_records.h"
#include "scoped_fd.h"
#include "test_files.h"
#include "test_pattern.h"
#include "version.h"

namespace companion_e2e {

using companion::ScopedFd;
using namespace companion_support;
using namespace companion_test;

// What a started process finds on one of its standard streams.
enum class Stream { Pipe, NonBlockingPipe, SocketPair, Terminal, RegularFile, DevNull, Directory, Closed };

// A started process and the test's ends of its standard streams. Going away
// kills and reaps a process that was not waited for.
class Process {
 public:
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  ~Process();

  pid_t pid() const { return child_.pid(); }
  // Writes to the process's standard input (Pipe, NonBlockingPipe, SocketPair).
  int input() const { return input_.get(); }
  // Reads the process's standard output (Pipe, NonBlockingPipe, SocketPair).
  int output() const { return output_.get(); }
  void closeInput() { input_.reset(); }
  void closeOutput() { output_.reset(); }
  // Reaps the process: the exit code; 128 + the signal for a killed process;
  // -1, with a test failure, for one that outlived the hang guard and was
  // killed. The pid stays readable. usage, when given, receives what the
  // process used, its peak resident size included.
  int wait(rusage* usage = nullptr);
  // The same with a guard of its own, for a test of a hang.
  int waitWithin(int guardMs);

 private:
  friend class CompanionTest;
  int waitFor(rusage* usage, int guardMs);

  ChildProcess child_;
  ScopedFd input_;
  ScopedFd output_;
  std::vector<ScopedFd> keepOpen_;  // the test's side of a terminal
};

// The line the example agent prints when a companion's session has ended.
std::string sessionLine(pid_t pid, size_t in, size_t out);

class CompanionTest : public ::testing::Test {
 protected:
  struct Launch {
    std::vector<std::string> args;
    Stream in = Stream::Pipe;
    Stream out = Stream::Pipe;
    std::optional<mode_t> umask;
    // Run as this user (and group of the same number) instead of ours.
    std::optional<uid_t> user;
    std::string program;  // the built companion unless given
    // The child reads one byte from this descriptor before it starts the
    // program, so that several can be let go at the same moment.
    int gate = -1;
    // Started with this signal blocked, as some launchers leave it.
    std::optional<int> blockedSignal;
  };

  void SetUp() override;
  void TearDown() override;

  // The sandbox holds run/ (XDG_RUNTIME_DIR), state/ (XDG_STATE_HOME, created
  // by the companion) and home/ (HOME).
  std::string root() const { return root_; }
  std::string runDir() const { return root_ + "/run"; }
  std::string stateDir() const { return root_ + "/state"; }
  std::string homeDir() const { return root_ + "/home"; }
  // The SHA-1 text of this user's id, which names the rendezvous socket.
  static std::string userDigest();
  // The socket path the companion must derive for this user.
  std::string socketPath(const std::string& socketSuffix = "") const;
  // The log file under the XDG_STATE_HOME that env holds.
  std::string logPath(const std::string& logSuffix = "") const;

  Process startCompanion(const Launch& launch);
  Process startCompanion(std::vector<std::string> args = {});
  Process startCompanion(Stream in, Stream out);
  // Starts the example agent and waits until it listens.
  void startAgent(std::vector<std::string> args = {}, std::optional<uid_t> user = std::nullopt);
  // The agent's next line of output, "" with a test failure after the guard.
  std::string agentLine();
  // Stops the agent with SIGTERM; it must exit cleanly and take its socket
  // file with it.
  void stopAgent();
  // Kills the agent with SIGKILL, as a crash would; its socket file stays.
  void killAgent();
  // Stops (SIGSTOP) or resumes (SIGCONT) the agent, which then takes nothing.
  void pauseAgent(bool paused);

  // Sends data through the companion and reads back as many bytes, both at
  // once; the echoing agent must be running.
  std::string echo(Process& companion, const std::string& data);
  // Lets count companions of the program go at one moment; each relays its
  // own random stream (numbered from firstStream) through the echoing agent,
  // must get all of it back, and must end with 246 when its input closes.
  // Returns their pids.
  std::vector<pid_t> relayAtOnce(size_t count, size_t size, uint32_t firstStream,
                                 const std::string& program = COMPANION_PATH);

  // The messages every complete run logs first, and last.
  std::vector<std::string> runHeadMessages() const;
  static const std::vector<std::string> kRunTailMessages;

  // Reads standard output until the companion closes it.
  std::string readToEnd(Process& companion);
  // Reads size bytes of standard output; fewer, with a test failure, when
  // the companion closes it first.
  std::string readExactly(Process& companion, size_t size);
  // Feeds standard input until the companion stops taking it.
  void writeUntilClosed(Process& companion);
  // Feeds standard input until its pipe stays full for a while: the
  // companion is blocked on the agent's side. The bytes written.
  size_t fillInput(Process& companion);

  // Every child's environment; a test may change it before starting one.
  std::map<std::string, std::string> env;

 private:
  Process spawn(const std::string& program, const Launch& launch);
  std::string reachableBy(uid_t user, const std::string& program);

  std::string root_;
  Process agent_;
  std::string agentSocket_;
  std::string agentBuffer_;
};

}  // namespace companion_e2e
