// Serves companions: pairs each one's two connections by process id and echoes, swallows or sends as the options say.
#include "agent_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "byte_pattern.h"

namespace companion_agent {
namespace {

using companion::retryAfterEintr;
using companion::ScopedFd;
using companion_support::kPatternPeriod;
using companion_support::patternStream;

// How much the agent holds for a companion that reads slowly before it stops
// reading that companion's bytes.
constexpr size_t kMaxPending = 256 * 1024;
constexpr size_t kChunk = 64 * 1024;
// Enough to fill any backlog the kernel grants for listen(fd, 0).
constexpr int kMaxBacklogFillers = 64;

bool makeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

ScopedFd newSocket() { return ScopedFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)); }

// 0 when connected, else the errno of the attempt.
int connectTo(int fd, const sockaddr_un& address) {
  const int result =
      retryAfterEintr([&] { return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address); });
  return result == 0 ? 0 : errno;
}

// Creates every missing directory above path, each private to the user.
bool makeParentDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

void printLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// One message as a browser reads it: its length in native byte order, then
// a JSON string of that many bytes.
std::string framedMessage(uint32_t length) {
  std::string frame(sizeof length, '\0');
  std::memcpy(&frame[0], &length, sizeof length);
  frame += '"';
  frame.append(length - 2, 'x');
  frame += '"';
  return frame;
}

void fail(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "companion-agent: %s %s: %s\n", what.c_str(), path.c_str(), std::strerror(errno));
}

}  // namespace

Server::Server(Options options) : options_(std::move(options)) {}

Server::~Server() {
  struct stat status;
  if (boundInode_ != 0 && ::lstat(options_.socketPath.c_str(), &status) == 0 && status.st_dev == boundDevice_ &&
      status.st_ino == boundInode_) {
    ::unlink(options_.socketPath.c_str());
  }
}

// A socket file left by an agent that died is in the way of bind; one that
// still answers belongs to a running agent and is left alone.
bool Server::removeStaleSocket() {
  const std::string& path = options_.socketPath;
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  sockaddr_un address;
  makeAddress(path, address);
  ScopedFd probe = newSocket();
  if (!S_ISSOCK(status.st_mode) || !probe.valid() || connectTo(probe.get(), address) != ECONNREFUSED) {
    errno = EADDRINUSE;
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

bool Server::listen() {
  const std::string& path = options_.socketPath;
  sockaddr_un address;
  if (!makeAddress(path, address)) {
    errno = ENAMETOOLONG;
    fail("cannot serve", path);
    return false;
  }
  if (!makeParentDirectories(path) || !removeStaleSocket()) {
    fail("cannot serve", path);
    return false;
  }
  listener_ = newSocket();
  // The socket file is born private; a chmod after bind would leave a window.
  const mode_t oldMask = ::umask(0177);
  const bool bound =
      listener_.valid() && ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(oldMask);
  struct stat status;
  if (!bound || ::lstat(path.c_str(), &status) != 0) {
    fail("cannot bind", path);
    return false;
  }
  boundDevice_ = status.st_dev;
  boundInode_ = status.st_ino;
  if (::listen(listener_.get(), options_.busy ? 0 : SOMAXCONN) != 0) {
    fail("cannot listen on", path);
    return false;
  }
  if (options_.busy) fillBacklog();
  printLine("ready " + path);
  return true;
}

// Connects to itself until the kernel refuses with EAGAIN: from then on every
// companion finds the backlog full.
void Server::fillBacklog() {
  sockaddr_un address;
  makeAddress(options_.socketPath, address);
  for (int i = 0; i < kMaxBacklogFillers; ++i) {
    ScopedFd filler = newSocket();
    if (!filler.valid() || connectTo(filler.get(), address) != 0) return;
    backlogFillers_.push_back(std::move(filler));
  }
  std::fputs("companion-agent: the backlog never filled up\n", stderr);
}

void Server::serve(const volatile sig_atomic_t& stopSignal, const sigset_t& waitMask) {
  enum class Role { Listener, Down, Up };
  struct Watched {
    Role role;
    Session* session;
  };
  std::vector<pollfd> fds;
  std::vector<Watched> watched;
  while (!stopSignal) {
    fds.clear();
    watched.clear();
    // The busy agent never accepts; the others listen until --first-only stops them.
    if (listener_.valid() && !options_.busy) {
      fds.push_back({listener_.get(), POLLIN, 0});
      watched.push_back({Role::Listener, nullptr});
    }
    for (Session& session : sessions_) {
      // The companion never writes on down: readable means it hung up. A
      // single-connection client writes on it, and up reads that.
      const short hangUp = options_.single ? 0 : POLLIN;
      fds.push_back({session.down.get(), static_cast<short>(hangUp | (wantsToWrite(session) ? POLLOUT : 0)), 0});
      watched.push_back({Role::Down, &session});
      // A descriptor left out of the set is not polled, so a hung-up peer
      // cannot wake the loop while its bytes are held back.
      fds.push_back({wantsToRead(session) ? session.up.get() : -1, POLLIN, 0});
      watched.push_back({Role::Up, &session});
    }
    timespec timeout{};
    if (::ppoll(fds.data(), fds.size(), untilNextPacedRead(timeout), &waitMask) < 0) continue;  // EINTR from a stop signal
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Session* session = watched[i].session;
      switch (watched[i].role) {
        case Role::Listener: acceptAll(); break;
        case Role::Down: watchDown(*session, fds[i].revents); break;
        case Role::Up: readUp(*session); break;
      }
    }
    for (Session& session : sessions_) pump(session);
    if (reapFinished()) return;
  }
}

void Server::acceptAll() {
  for (;;) {
    ScopedFd connection(retryAfterEintr(
        [&] { return ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }));
    if (!connection.valid()) return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) continue;
    if (options_.single) {
      // One socket both ways: a second descriptor on it serves as the up side.
      Session& session = sessions_.emplace_back();
      session.pid = peer.pid;
      ScopedFd up(::dup(connection.get()));
      session.down = std::move(connection);
      pair(session, std::move(up));
      continue;
    }
    // Pairing by process id keeps the connections of companions that start
    // at the same moment from being crossed.
    auto first = std::find_if(sessions_.begin(), sessions_.end(),
                              [&](const Session& s) { return s.pid == peer.pid && !s.paired && s.down.valid(); });
    if (first != sessions_.end()) {
      pair(*first, std::move(connection));
    } else {
      Session& session = sessions_.emplace_back();
      session.pid = peer.pid;
      session.down = std::move(connection);
    }
    if (options_.firstOnly) {
      // The socket file stays, so further connects are refused, not missing.
      listener_.reset();
      return;
    }
  }
}

void Server::pair(Session& session, ScopedFd second) {
  session.paired = true;
  if (!options_.refuseSecond) session.up = std::move(second);
  if (options_.closeWriteAfter == 0u) session.up.reset();
}

bool Server::wantsToWrite(const Session& session) const {
  return session.paired && (!session.pending.empty() || session.patternQueued < options_.sendBytes);
}

bool Server::wantsToRead(const Session& session) const {
  return session.up.valid() && !options_.noRead && !(readsSlowly(session) && Clock::now() < session.nextRead) &&
         (options_.swallow || !session.down.valid() || session.pending.size() < kMaxPending);
}

bool Server::readsSlowly(const Session& session) const {
  return options_.readEveryMs && (!session.slowUntil || Clock::now() < *session.slowUntil);
}

const timespec* Server::untilNextPacedRead(timespec& storage) const {
  // Only reads still to come: a session whose read is due waits in poll.
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> due;
  for (const Session& session : sessions_) {
    if (session.up.valid() && readsSlowly(session) && session.nextRead > now) {
      due = std::min(due.value_or(session.nextRead), session.nextRead);
    }
  }
  if (!due) return nullptr;
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(*due - now);
  storage.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
  storage.tv_nsec = static_cast<long>(wait.count() % 1000000000);
  return &storage;
}

void Server::readUp(Session& session) {
  char buffer[kChunk];
  size_t limit = sizeof buffer;
  if (options_.closeWriteAfter) limit = std::min<uint64_t>(limit, *options_.closeWriteAfter - session.received);
  const bool slow = readsSlowly(session);
  if (slow) limit = std::min<uint64_t>(limit, options_.readSize);
  const ssize_t count = retryAfterEintr([&] { return ::read(session.up.get(), buffer, limit); });
  if (count < 0 && errno == EAGAIN) return;
  if (count <= 0) {
    session.up.reset();
    return;
  }
  if (slow) {
    const Clock::time_point now = Clock::now();
    session.nextRead = now + std::chrono::milliseconds(*options_.readEveryMs);
    if (!session.slowUntil && options_.slowForMs) session.slowUntil = now + std::chrono::milliseconds(*options_.slowForMs);
  }
  // The reply to the companion's first bytes, when asked for: the companion
  // is surely running by then, whoever watches for it.
  if (options_.frameBytes && session.received == 0 && session.down.valid()) {
    session.pending += framedMessage(*options_.frameBytes);
  }
  session.received += static_cast<uint64_t>(count);
  // Echoed bytes go nowhere once the companion's reading side is gone.
  if (!options_.swallow && session.down.valid()) session.pending.append(buffer, static_cast<size_t>(count));
  if (options_.closeWriteAfter && session.received >= *options_.closeWriteAfter) session.up.reset();
}

// The companion only reads this connection; whatever it might send is dropped.
// A single-connection client's bytes belong to up: only its hang-up counts.
void Server::watchDown(Session& session, short events) {
  if (options_.single) {
    if (events & (POLLHUP | POLLERR)) session.down.reset();
    if (!session.down.valid()) session.pending.clear();
    return;
  }
  if (!(events & (POLLIN | POLLHUP | POLLERR))) return;
  char buffer[512];
  const ssize_t count = retryAfterEintr([&] { return ::read(session.down.get(), buffer, sizeof buffer); });
  if (count == 0 || (count < 0 && errno != EAGAIN)) {
    session.down.reset();
    session.pending.clear();
  }
}

// Queues pattern bytes, writes what the companion will take, and closes down
// once --close-read-after is reached.
void Server::pump(Session& session) {
  if (!session.paired || !session.down.valid()) return;
  // One period of the pattern, appended in slices: a byte at a time would
  // make the agent, not the relay, the bottleneck of a throughput test.
  static const std::string cycle = patternStream(kPatternPeriod);
  while (session.patternQueued < options_.sendBytes && session.pending.size() < kChunk) {
    const size_t offset = session.patternQueued % kPatternPeriod;
    const size_t slice = std::min<uint64_t>(kPatternPeriod - offset, options_.sendBytes - session.patternQueued);
    session.pending.append(cycle, offset, slice);
    session.patternQueued += slice;
  }
  uint64_t allowed = session.pending.size();
  if (options_.closeReadAfter) allowed = std::min(allowed, *options_.closeReadAfter - session.sent);
  if (allowed > 0) {
    const ssize_t count = retryAfterEintr(
        [&] { return ::send(session.down.get(), session.pending.data(), allowed, MSG_NOSIGNAL); });
    if (count > 0) {
      session.pending.erase(0, static_cast<size_t>(count));
      session.sent += static_cast<uint64_t>(count);
    } else if (errno != EAGAIN) {
      session.down.reset();
    }
  }
  if (options_.closeReadAfter && session.sent >= *options_.closeReadAfter) session.down.reset();
  if (options_.hangUpAfter && session.sent >= *options_.hangUpAfter) {
    session.down.reset();
    session.up.reset();
  }
  // A single-connection client that has finished sending gets the rest of its
  // bytes, then the connection ends.
  if (options_.single && !session.up.valid() && !wantsToWrite(session)) session.down.reset();
  if (!session.down.valid()) session.pending.clear();
}

bool Server::reapFinished() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (!it->finished()) {
      ++it;
      continue;
    }
    printLine("session " + std::to_string(it->pid) + " in " + std::to_string(it->received) + " out " +
              std::to_string(it->sent));
    it = sessions_.erase(it);
    ++sessionsDone_;
  }
  return options_.sessions && sessionsDone_ >= *options_.sessions;
}

}  // namespace companion_agent
