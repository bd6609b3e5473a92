// Starts child processes with posix_spawn and pipes on their standard streams.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace companion_bench {
namespace {

using companion::ScopedFd;

struct Pipe {
  ScopedFd read;
  ScopedFd write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  return {ScopedFd(fds[0]), ScopedFd(fds[1])};
}

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn's attributes and file actions, released however the start ends.
class SpawnSetup {
 public:
  SpawnSetup(int stdinFd, int stdoutFd) {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
    // This process ignores SIGPIPE, which exec would pass on; a browser's
    // host starts with the default action and an empty mask.
    sigset_t signals;
    sigemptyset(&signals);
    ::posix_spawnattr_setsigmask(&attributes_, &signals);
    sigaddset(&signals, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attributes_, &signals);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawn_file_actions_adddup2(&actions_, stdinFd, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions_, stdoutFd, STDOUT_FILENO);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  auto overridden = [&](const std::string& entry) {
    for (const std::string& replacement : overrides) {
      if (entry.compare(0, entry.find('='), replacement, 0, replacement.find('=')) == 0) return true;
    }
    return false;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!overridden(*entry)) result.emplace_back(*entry);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  Pipe in = makePipe();
  Pipe out = makePipe();
  const SpawnSetup setup(in.read.get(), out.write.get());
  const int error = ::posix_spawn(&pid_, argv[0].c_str(), setup.actions(), setup.attributes(),
                                  pointersTo(argv).data(), pointersTo(environment).data());
  if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  input_ = std::move(in.write);
  output_ = std::move(out.read);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), input_(std::move(other.input_)), output_(std::move(other.output_)) {}

Child::~Child() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  wait();
}

int Child::wait() {
  int status = 0;
  // Interrupted only by the watchdog: a child that has not exited by then
  // never will, so it is killed and the wait goes on.
  while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) ::kill(pid_, SIGKILL);
  pid_ = -1;
  return status;
}

}  // namespace companion_bench
