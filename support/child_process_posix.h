// ChildProcess: a program started with the standard streams each caller chooses, for the tests, the stand-in browser and the benchmark.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "io_posix.h"
#include "scoped_fd.h"

namespace companion_support {

// The two ends of a pipe, both close-on-exec; neither is valid, with errno
// set, when no pipe could be made.
struct Pipe {
  companion::ScopedFd read;
  companion::ScopedFd write;
};
Pipe makePipe();

// A started program. Going away kills and reaps a child that was not waited
// for, so that no test or run leaves one behind.
class ChildProcess {
 public:
  // What the child finds as a standard stream, where no descriptor is given.
  static constexpr int kInherit = -2;
  static constexpr int kClosed = -1;

  struct Options {
    std::vector<std::string> argv;  // argv[0] is the program's path
    // NAME=value entries; this process's own environment when not given.
    std::optional<std::vector<std::string>> environment;
    // A descriptor the child gets as its standard input or output, kInherit
    // or kClosed.
    int in = kInherit;
    int out = kInherit;
    // Runs in the child before its standard streams are set and the program
    // is executed, with the signal mask empty and SIGPIPE's action the
    // default: only async-signal-safe calls, and _exit on failure.
    std::function<void()> beforeExec;
  };

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { terminate(); }

  // Starts the program; false, with errno set, when no process could be
  // made. A program that cannot be executed says why on standard error and
  // exits with 127.
  bool start(const Options& options);

  // The pid stays readable once the child is reaped.
  pid_t pid() const { return pid_; }
  // Started and not yet reaped.
  bool running() const { return pid_ > 0 && !reaped_; }
  void kill(int signal) const;
  // Waits up to timeoutMs for the child to exit and reaps it: its wait
  // status; nothing, the child still running, when it has not exited by
  // then. A signal that interrupts the wait (an alarm) kills the child,
  // which is then reaped. usage, when given, receives what it used.
  std::optional<int> wait(int timeoutMs = kNoTimeout, rusage* usage = nullptr);
  // Kills and reaps a child that still runs.
  void terminate();

  // A wait status as an exit code: 128 + the signal for a killed process.
  static int exitCode(int status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  companion::ScopedFd exited_;  // a pidfd, readable once the child has exited
};

}  // namespace companion_support
