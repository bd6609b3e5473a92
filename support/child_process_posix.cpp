// ChildProcess on POSIX: fork (vfork without a hook) and exec, a pidfd to wait on with a timeout.
#include "child_process_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace companion_support {
namespace {

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// The program's start is the parent's choice alone: this process may ignore
// SIGPIPE or block signals, and exec would pass that on.
void resetSignals() {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &action, nullptr);
}

void setStream(int fd, int target) {
  if (fd == ChildProcess::kInherit) return;
  if (fd == ChildProcess::kClosed) {
    ::close(target);
  } else if (::dup2(fd, target) < 0) {
    ::_exit(126);
  }
}

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(const ChildProcess::Options& options, char* const argv[], char* const envp[]) {
  resetSignals();
  if (options.beforeExec) options.beforeExec();
  setStream(options.in, STDIN_FILENO);
  setStream(options.out, STDOUT_FILENO);
  ::execve(argv[0], argv, envp);
  ::perror(argv[0]);
  ::_exit(127);
}

}  // namespace

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return {companion::ScopedFd(fds[0]), companion::ScopedFd(fds[1])};
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(other.reaped_), exited_(std::move(other.exited_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this == &other) return *this;
  terminate();
  pid_ = std::exchange(other.pid_, -1);
  reaped_ = other.reaped_;
  exited_ = std::move(other.exited_);
  return *this;
}

bool ChildProcess::start(const Options& options) {
  terminate();
  // Everything the child needs is made here: after fork, it may not allocate.
  const std::vector<char*> argv = pointersTo(options.argv);
  const std::vector<char*> envp = options.environment ? pointersTo(*options.environment) : std::vector<char*>();
  // Without a hook the child only resets its signals, sets its streams and
  // execs, which vfork allows; it spares the copy of the parent's page
  // tables, which a large parent (the benchmark) would add to every start.
  pid_ = options.beforeExec ? ::fork() : ::vfork();
  if (pid_ == 0) execChild(options, argv.data(), options.environment ? envp.data() : environ);
  reaped_ = false;
  if (pid_ < 0) return false;
  // glibc 2.36 declares pidfd_open without C linkage, so call it directly.
  exited_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  return true;
}

void ChildProcess::kill(int signal) const {
  // kill(-1) would reach every process we may signal.
  if (running()) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::wait(int timeoutMs, rusage* usage) {
  if (!running()) return std::nullopt;
  if (timeoutMs != kNoTimeout) {
    pollfd ready = {exited_.get(), POLLIN, 0};
    if (companion::retryAfterEintr([&] { return ::poll(&ready, 1, timeoutMs); }) <= 0) return std::nullopt;
  }
  int status = 0;
  while (::wait4(pid_, &status, 0, usage) < 0 && errno == EINTR) ::kill(pid_, SIGKILL);
  reaped_ = true;
  exited_.reset();
  return status;
}

void ChildProcess::terminate() {
  if (!running()) return;
  kill(SIGKILL);
  wait();
}

int ChildProcess::exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace companion_support
