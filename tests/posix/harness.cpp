// Starts the companion and the example agent as real processes with real pipes, sockets and terminals.
#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "sha1.h"

namespace companion_e2e {
namespace {

using companion::retryAfterEintr;

// Only a hang guard: every wait ends long before it unless something hangs.
constexpr int kGuardMs = 60000;

struct StreamEnds {
  ScopedFd child;
  ScopedFd ours;
};

// Opens what the child gets on one standard stream; childReads tells stdin
// from stdout. Everything is close-on-exec so that no other child holds a
// stream open.
StreamEnds openStream(Stream kind, bool childReads, const std::string& sandbox) {
  StreamEnds ends;
  int fds[2];
  switch (kind) {
    case Stream::Pipe:
    case Stream::NonBlockingPipe:
      if (::pipe2(fds, O_CLOEXEC) != 0) break;
      ends.child.reset(fds[childReads ? 0 : 1]);
      ends.ours.reset(fds[childReads ? 1 : 0]);
      // The two ends of a pipe are separate open files: only the child's
      // side becomes non-blocking.
      if (kind == Stream::NonBlockingPipe) {
        ::fcntl(ends.child.get(), F_SETFL, ::fcntl(ends.child.get(), F_GETFL) | O_NONBLOCK);
      }
      break;
    case Stream::SocketPair:
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) break;
      ends.child.reset(fds[0]);
      ends.ours.reset(fds[1]);
      break;
    case Stream::Terminal:
      ends.ours.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      if (ends.ours.valid() && ::grantpt(ends.ours.get()) == 0 && ::unlockpt(ends.ours.get()) == 0) {
        ends.child.reset(::open(::ptsname(ends.ours.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
      }
      break;
    case Stream::RegularFile:
      ends.child.reset(::open((sandbox + (childReads ? "/stdin-file" : "/stdout-file")).c_str(),
                              O_RDWR | O_CREAT | O_CLOEXEC, 0600));
      break;
    case Stream::DevNull: ends.child.reset(::open("/dev/null", O_RDWR | O_CLOEXEC)); break;
    case Stream::Directory: ends.child.reset(::open(sandbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); break;
    case Stream::Closed: break;
  }
  if (kind != Stream::Closed && !ends.child.valid()) ADD_FAILURE() << "cannot open a stream: " << strerror(errno);
  return ends;
}

// What the child does, between fork and exec, of what a launch asks
// (async-signal-safe calls only): the user, the umask, a blocked signal, and
// the gate.
std::function<void()> childSetup(std::optional<uid_t> user, std::optional<mode_t> mask, std::optional<int> blockedSignal,
                                 int gate) {
  return [=] {
    if (user && (::setgroups(0, nullptr) != 0 || ::setgid(*user) != 0 || ::setuid(*user) != 0)) ::_exit(126);
    // A test process that crashes takes its children along, instead of
    // leaving them holding CTest's output pipe (set after the user switch,
    // which clears it).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (mask) ::umask(*mask);
    if (blockedSignal) {
      sigset_t blocked;
      ::sigemptyset(&blocked);
      ::sigaddset(&blocked, *blockedSignal);
      ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    }
    char byte;
    if (gate >= 0) retryAfterEintr([&] { return ::read(gate, &byte, 1); });
  };
}

// Waits up to the guard for fd to become ready for events.
bool await(int fd, short events, int guardMs = kGuardMs) {
  pollfd ready = {fd, events, 0};
  if (retryAfterEintr([&] { return ::poll(&ready, 1, guardMs); }) > 0) return true;
  ADD_FAILURE() << "nothing happened on descriptor " << fd << " within the hang guard";
  return false;
}

ssize_t guardedRead(int fd, char* buffer, size_t size) {
  const ssize_t count = readSome(fd, buffer, size, kGuardMs);
  if (count < 0 && errno == ETIMEDOUT) ADD_FAILURE() << "nothing happened on descriptor " << fd << " within the hang guard";
  return count;
}

}  // namespace

Process::Process(Process&& other) noexcept
    : child_(std::move(other.child_)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      keepOpen_(std::move(other.keepOpen_)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this == &other) return *this;
  // The child goes before its streams close, so that it never sees them end.
  child_ = std::move(other.child_);
  input_ = std::move(other.input_);
  output_ = std::move(other.output_);
  keepOpen_ = std::move(other.keepOpen_);
  return *this;
}

Process::~Process() { child_.terminate(); }

int Process::wait(rusage* usage) { return waitFor(usage, kGuardMs); }

int Process::waitWithin(int guardMs) { return waitFor(nullptr, guardMs); }

int Process::waitFor(rusage* usage, int guardMs) {
  if (!child_.running()) return -1;
  if (const std::optional<int> status = child_.wait(guardMs, usage)) return ChildProcess::exitCode(*status);
  ADD_FAILURE() << "process " << child_.pid() << " did not exit within the hang guard";
  child_.kill(SIGKILL);
  child_.wait(kNoTimeout, usage);
  return -1;
}

std::string sessionLine(pid_t pid, size_t in, size_t out) {
  return "session " + std::to_string(pid) + " in " + std::to_string(in) + " out " + std::to_string(out);
}

void CompanionTest::SetUp() {
  // A child must get exactly the streams a test gives it, so the test's own
  // standard descriptors must be taken even when ctest leaves one closed.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
  }
  ::signal(SIGPIPE, SIG_IGN);
  char sandbox[] = "/tmp/companion-e2e-XXXXXX";
  ASSERT_NE(::mkdtemp(sandbox), nullptr);
  root_ = sandbox;
  ASSERT_EQ(::mkdir(runDir().c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(homeDir().c_str(), 0700), 0);
  env = {{"PATH", "/usr/bin:/bin"},
         {"HOME", homeDir()},
         {"XDG_RUNTIME_DIR", runDir()},
         {"XDG_STATE_HOME", stateDir()}};
}

void CompanionTest::TearDown() {
  stopAgent();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string CompanionTest::userDigest() {
  sha1::SHA1 digest;
  digest.addBytes(std::to_string(::geteuid()));
  return sha1::toText(digest.finish());
}

std::string CompanionTest::socketPath(const std::string& socketSuffix) const {
  return runDir() + "/vantro-" + userDigest() + socketSuffix;
}

std::string CompanionTest::logPath(const std::string& logSuffix) const {
  return env.at("XDG_STATE_HOME") + "/QM/quillmere2" + logSuffix + "/logs/companion.log";
}

// Another user may not reach the build tree (a checkout in a private home
// folder): that user runs a copy, in a folder of the sandbox that only the
// program's own folder opens to others.
std::string CompanionTest::reachableBy(uid_t user, const std::string& program) {
  const std::string dir = root_ + "/for-" + std::to_string(user);
  const std::string copy = dir + "/" + std::filesystem::path(program).filename().string();
  std::error_code error;
  std::filesystem::create_directory(dir, error);
  std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "cannot copy " << program << " for user " << user << ": " << error.message();
  struct stat sandbox {};
  EXPECT_EQ(::stat(root_.c_str(), &sandbox), 0);
  // Others may pass through the sandbox to this folder, but list nothing.
  EXPECT_EQ(::chmod(root_.c_str(), (sandbox.st_mode & 07777) | 0711), 0);
  EXPECT_EQ(::chmod(dir.c_str(), 0755), 0);
  EXPECT_EQ(::chmod(copy.c_str(), 0755), 0);
  return copy;
}

Process CompanionTest::spawn(const std::string& requested, const Launch& launch) {
  const std::string program = launch.user ? reachableBy(*launch.user, requested) : requested;
  StreamEnds in = openStream(launch.in, true, root_);
  StreamEnds out = openStream(launch.out, false, root_);
  ChildProcess::Options options;
  options.argv = {program};
  options.argv.insert(options.argv.end(), launch.args.begin(), launch.args.end());
  options.environment.emplace();
  for (const auto& [name, value] : env) options.environment->push_back(name + "=" + value);
  auto given = [](const ScopedFd& end) { return end.valid() ? end.get() : ChildProcess::kClosed; };
  options.in = given(in.child);
  options.out = given(out.child);
  options.beforeExec = childSetup(launch.user, launch.umask, launch.blockedSignal, launch.gate);

  Process process;
  EXPECT_TRUE(process.child_.start(options)) << "fork: " << strerror(errno);
  // A terminal's other side must stay open while the child runs, but it
  // is no byte channel of the test's.
  auto keep = [&](Stream kind, StreamEnds& ends, ScopedFd& channel) {
    if (kind == Stream::Terminal) {
      process.keepOpen_.push_back(std::move(ends.ours));
    } else {
      channel = std::move(ends.ours);
    }
  };
  keep(launch.in, in, process.input_);
  keep(launch.out, out, process.output_);
  return process;
}

Process CompanionTest::startCompanion(const Launch& launch) {
  return spawn(launch.program.empty() ? COMPANION_PATH : launch.program, launch);
}

Process CompanionTest::startCompanion(std::vector<std::string> args) {
  Launch launch;
  launch.args = std::move(args);
  return startCompanion(launch);
}

Process CompanionTest::startCompanion(Stream in, Stream out) {
  Launch launch;
  launch.in = in;
  launch.out = out;
  return startCompanion(launch);
}

void CompanionTest::startAgent(std::vector<std::string> args, std::optional<uid_t> user) {
  Launch launch;
  launch.args = std::move(args);
  launch.in = Stream::DevNull;
  launch.user = user;
  agent_ = spawn(AGENT_PATH, launch);
  agentBuffer_.clear();
  const std::string ready = agentLine();
  ASSERT_EQ(ready.rfind("ready ", 0), 0u) << "the agent did not start: " << ready;
  agentSocket_ = ready.substr(6);
}

std::string CompanionTest::agentLine() {
  for (;;) {
    const size_t end = agentBuffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = agentBuffer_.substr(0, end);
      agentBuffer_.erase(0, end + 1);
      return line;
    }
    char buffer[4096];
    const ssize_t count = guardedRead(agent_.output(), buffer, sizeof buffer);
    if (count <= 0) {
      ADD_FAILURE() << "the agent printed no further line";
      return "";
    }
    agentBuffer_.append(buffer, static_cast<size_t>(count));
  }
}

void CompanionTest::stopAgent() {
  if (!agent_.child_.running()) return;
  agent_.child_.kill(SIGTERM);
  EXPECT_EQ(agent_.wait(), 0) << "the agent did not stop cleanly";
  struct stat status;
  EXPECT_NE(::lstat(agentSocket_.c_str(), &status), 0) << "the agent left " << agentSocket_;
  agent_ = Process();
}

void CompanionTest::pauseAgent(bool paused) {
  ASSERT_GT(agent_.pid(), 0) << "no agent to pause";
  agent_.child_.kill(paused ? SIGSTOP : SIGCONT);
}

void CompanionTest::killAgent() {
  ASSERT_GT(agent_.pid(), 0) << "no agent to kill";
  agent_.child_.kill(SIGKILL);
  EXPECT_EQ(agent_.wait(), 128 + SIGKILL);
  agent_ = Process();
}

std::string CompanionTest::echo(Process& companion, const std::string& data) {
  std::thread writer([&] { writeAll(companion.input(), data.data(), data.size()); });
  std::string received;
  received.reserve(data.size());
  std::vector<char> buffer(65536);
  while (received.size() < data.size()) {
    const ssize_t count =
        guardedRead(companion.output(), buffer.data(), std::min(buffer.size(), data.size() - received.size()));
    if (count <= 0) {
      // The writer may be blocked on a companion that stopped reading.
      companion.child_.kill(SIGKILL);
      break;
    }
    received.append(buffer.data(), static_cast<size_t>(count));
  }
  writer.join();
  return received;
}

std::vector<pid_t> CompanionTest::relayAtOnce(size_t count, size_t size, uint32_t firstStream,
                                              const std::string& program) {
  int gate[2];
  EXPECT_EQ(::pipe2(gate, O_CLOEXEC), 0);
  ScopedFd gateRead(gate[0]);
  ScopedFd gateWrite(gate[1]);
  Launch launch;
  launch.gate = gateRead.get();
  launch.program = program;
  std::vector<Process> companions(count);
  std::vector<std::string> sent, received(count);
  for (size_t i = 0; i < count; ++i) {
    sent.push_back(patternBytes(size, firstStream + static_cast<uint32_t>(i)));
    companions[i] = startCompanion(launch);
  }
  EXPECT_TRUE(writeAll(gateWrite.get(), std::string(count, 'g').data(), count));
  std::vector<std::thread> browsers;
  for (size_t i = 0; i < count; ++i) {
    browsers.emplace_back([&, i] { received[i] = echo(companions[i], sent[i]); });
  }
  for (std::thread& browser : browsers) browser.join();

  std::vector<pid_t> pids;
  std::set<std::string> expectedSessions, sessions;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(received[i] == sent[i]) << "stream " << firstStream + i << " came back changed or crossed";
    companions[i].closeInput();
    EXPECT_EQ(companions[i].wait(), 246) << "stream " << firstStream + i;
    pids.push_back(companions[i].pid());
    expectedSessions.insert(sessionLine(pids.back(), size, size));
  }
  for (size_t i = 0; i < count; ++i) sessions.insert(agentLine());
  EXPECT_EQ(sessions, expectedSessions);
  return pids;
}

std::vector<std::string> CompanionTest::runHeadMessages() const {
  return {
      "Logger started: " + logPath() + ", version " + std::string(companion::kVersion) + ", linux",
      "Suffix for log: ''",
      "Suffix for socket: ''",
      "User id: " + std::to_string(::geteuid()),
      "Socket path: " + socketPath(),
      "Connect to socket path: " + socketPath(),
      "Connected to socket",
      "Connected to std",
      "Loop started",
  };
}

const std::vector<std::string> CompanionTest::kRunTailMessages = {"Loop stoped", "Return code: 246",
                                                                  "Logger stoped"};

std::string CompanionTest::readToEnd(Process& companion) {
  std::string received;
  if (!companion_support::readToEnd(companion.output(), received, kGuardMs) && errno == ETIMEDOUT) {
    ADD_FAILURE() << "the companion's output stayed open past the hang guard";
  }
  return received;
}

std::string CompanionTest::readExactly(Process& companion, size_t size) {
  std::string received(size, '\0');
  size_t filled = 0;
  while (filled < size) {
    const ssize_t count = guardedRead(companion.output(), received.data() + filled, size - filled);
    if (count <= 0) {
      ADD_FAILURE() << "the companion's output ended after " << filled << " of " << size << " bytes";
      break;
    }
    filled += static_cast<size_t>(count);
  }
  received.resize(filled);
  return received;
}

size_t CompanionTest::fillInput(Process& companion) {
  const std::string chunk(PIPE_BUF, 'f');
  pollfd room = {companion.input(), POLLOUT, 0};
  size_t written = 0;
  while (retryAfterEintr([&] { return ::poll(&room, 1, 500); }) > 0) {
    if (retryAfterEintr([&] { return ::write(companion.input(), chunk.data(), chunk.size()); }) < 0) {
      ADD_FAILURE() << "the companion's input failed while filling it: " << strerror(errno);
      break;
    }
    written += chunk.size();
  }
  return written;
}

void CompanionTest::writeUntilClosed(Process& companion) {
  // One pipe buffer unit at a time: a write of that size never blocks once
  // poll has reported room.
  const std::string chunk(PIPE_BUF, 'w');
  while (await(companion.input(), POLLOUT)) {
    if (retryAfterEintr([&] { return ::write(companion.input(), chunk.data(), chunk.size()); }) < 0) {
      EXPECT_EQ(errno, EPIPE) << "the companion's input failed otherwise than by being closed";
      return;
    }
  }
}

}  // namespace companion_e2e
