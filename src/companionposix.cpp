// CompanionPosix: Unix-socket rendezvous, the standard streams, the relay
// transfers on blocking calls that a signal cancels, and private directories.
#include "companionposix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "open_failure.h"
#include "platform_paths.h"
#include "scoped_fd.h"

namespace companion {
namespace {

// The Windows file type numbers, so that the records read the same on both
// platforms: disk 1, character 2, anything else unknown (0).
int32_t fileTypeNumber(mode_t mode) {
  if (S_ISREG(mode)) return 1;
  if (S_ISCHR(mode)) return 2;
  return 0;
}

OpenFailure classifyConnectError(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED: return OpenFailure::kNotFound;
    case EAGAIN: return OpenFailure::kBusy;
    default: return OpenFailure::kInvalid;
  }
}

// Whether the descriptor number was free; if so, it now holds /dev/null.
bool holdIfClosed(int fd) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return false;
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0 && null != fd) {
    ::dup2(null, fd);
    ::close(null);
  }
  return true;
}

Transfer failed(int error) { return {false, 0, static_cast<uint32_t>(error)}; }

// Whether a read would return at once: bytes, the end of the stream or an error.
bool readable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return retryAfterEintr([&] { return ::poll(&ready, 1, 0); }) != 0;
}

// Whether the path's directory is the user's alone, as a runtime directory
// is; in a shared one such as /tmp anyone may have planted the name.
bool inPrivateDirectory(const std::string& path) {
  struct stat status {};
  const std::string directory = path.substr(0, path.rfind('/') + 1);
  return ::lstat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & 077) == 0;
}

ReturnCode refuse(const std::string& server) {
  reportRefusedServer(server, std::to_string(::geteuid()));
  return kCodeSocketInvalid;
}

// What poll reports once the browser's end of standard input is gone, even
// while bytes are still queued: a pipe without writers hangs up; a socket
// whose peer shut down its side reports that (Linux's POLLRDHUP).
#ifdef POLLRDHUP
constexpr short kInputGoneEvents = POLLRDHUP;
#else
constexpr short kInputGoneEvents = 0;
#endif
constexpr short kInputGoneRevents = kInputGoneEvents | POLLHUP | POLLERR;

}  // namespace

// The server's uid check cannot tell a link to another of the user's own
// sockets apart, hence the link is refused too.
std::optional<uid_t> CompanionPosix::plantedBy(const std::string& path) {
  struct stat status {};
  if (inPrivateDirectory(path) || ::lstat(path.c_str(), &status) != 0) return std::nullopt;
  if (S_ISLNK(status.st_mode) || status.st_uid != ::geteuid()) return status.st_uid;
  return std::nullopt;
}

CompanionPosix::CompanionPosix()
    : RelayPumps(relayState(socketResult, stdResult, socketDone, stdDone, stopRequested)),
      stdinClosedAtStart(holdIfClosed(STDIN_FILENO)),
      stdoutClosedAtStart(holdIfClosed(STDOUT_FILENO)) {
  holdIfClosed(STDERR_FILENO);
}

int32_t CompanionPosix::connectSocket() {
  const std::string socketPath = getSocketPath();
  COMPANION_LOG(LoggerLevel::Info, "Connect to socket path: %1", socketPath);
  const int32_t code = connectOne(socketInFd, socketPath);
  if (code != kCodeSuccess) return code;
  return connectOne(socketOutFd, socketPath);
}

int32_t CompanionPosix::connectOne(std::atomic<int>& fd, const std::string& socketPath) {
  if (const std::optional<uid_t> planter = plantedBy(socketPath)) return refuse(std::to_string(*planter));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ScopedFd connection(openStreamSocket());
  int error = connection.valid() ? 0 : errno;
  if (error == 0 && socketPath.size() >= sizeof address.sun_path) error = ENAMETOOLONG;
  if (error == 0) {
    socketPath.copy(address.sun_path, socketPath.size());
    if (retryAfterEintr([&] {
          return ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }) != 0) {
      error = errno;
    }
  }
  if (error != 0) return reportOpenFailure(classifyConnectError(error), static_cast<uint32_t>(error));

  // Under /tmp another user could have created the socket first: only a
  // server running as this user gets the browser's traffic.
  uid_t server = 0;
  if (!serverUid(connection.get(), server)) return refuse("unknown");
  if (server != ::geteuid()) return refuse(std::to_string(server));
  // Connected without waiting; from here on the pump blocks in read and
  // write, which the cancellation signal interrupts, saving a poll per chunk.
  ::fcntl(connection.get(), F_SETFL, ::fcntl(connection.get(), F_GETFL) & ~O_NONBLOCK);
  fd = connection.release();
  return kCodeSuccess;
}

int32_t CompanionPosix::connectStd() {
  if (!takeStdHandle(stdinFd, STDIN_FILENO, stdinClosedAtStart, "stdin")) return kCodeStdNotPipe;
  if (!takeStdHandle(stdoutFd, STDOUT_FILENO, stdoutClosedAtStart, "stdout")) return kCodeStdNotPipe;
  return kCodeSuccess;
}

bool CompanionPosix::takeStdHandle(std::atomic<int>& field, int fd, bool closedAtStart, const char* name) {
  struct stat status {};
  if (closedAtStart || ::fstat(fd, &status) != 0) {
    COMPANION_LOG(LoggerLevel::Error, "Get %1 handle, error: %2", name, closedAtStart ? EBADF : errno);
    field = -1;
    return false;
  }
  field = fd;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return true;
  COMPANION_LOG(LoggerLevel::Error, "%1 type handle must be pipe, type: %2", name, fileTypeNumber(status.st_mode));
  return false;
}

void CompanionPosix::closeAll() {
  for (std::atomic<int>* fd : {&stdinFd, &stdoutFd, &socketInFd, &socketOutFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

int32_t CompanionPosix::runLoop() {
  // A closed browser or agent must show as a failed write, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  // Without SA_RESTART the cancellation signal makes a blocked read, write or
  // poll of the receiving thread fail with EINTR.
  struct sigaction cancellation {};
  cancellation.sa_handler = [](int) {};
  ::sigemptyset(&cancellation.sa_mask);
  ::sigaction(kCancelSignal, &cancellation, nullptr);
  // A launcher may have started us with it blocked; the pump threads inherit
  // this thread's mask.
  sigset_t cancelSignal;
  ::sigemptyset(&cancelSignal);
  ::sigaddset(&cancelSignal, kCancelSignal);
  ::pthread_sigmask(SIG_UNBLOCK, &cancelSignal, nullptr);
  return relay();
}

void CompanionPosix::pumpStarting(const Pump& pump) {
  (pump.input == Channel::kSocketIn ? socketThread : stdThread) = ::pthread_self();
}

void CompanionPosix::cancelTransfers(const Pump& pump) {
  ::pthread_kill(pump.input == Channel::kSocketIn ? socketThread : stdThread, kCancelSignal);
}

std::atomic<int>& CompanionPosix::descriptorOf(Channel channel) {
  switch (channel) {
    case Channel::kSocketIn: return socketInFd;
    case Channel::kSocketOut: return socketOutFd;
    case Channel::kStdin: return stdinFd;
    default: return stdoutFd;
  }
}

template <typename Move>
Transfer CompanionPosix::transferWhenReady(int fd, short events, Move move) {
  for (;;) {
    const ssize_t moved = move();
    if (moved >= 0) return {true, static_cast<uint32_t>(moved), 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Descriptors the browser handed over non-blocking.
      pollfd ready{fd, events, 0};
      if (::poll(&ready, 1, -1) >= 0) continue;
    }
    if (errno != EINTR) return failed(errno);
    // While draining, an interrupted read that would wait has nothing left
    // to deliver; an interrupted write goes on.
    if (stopping() || (events == POLLIN && draining() && !readable(fd))) return failed(kCancelledError);
  }
}

Transfer CompanionPosix::readSome(Channel channel, uint8_t* data, uint32_t size) {
  const int input = descriptorOf(channel);
  if (draining() && !readable(input)) return failed(kCancelledError);
  const Transfer read = transferWhenReady(input, POLLIN, [&] { return ::read(input, data, size); });
  return read.ok && read.count == 0 ? failed(kEndOfStreamError) : read;
}

Transfer CompanionPosix::writeSome(Channel channel, const uint8_t* data, uint32_t size) {
  const int output = descriptorOf(channel);
  return transferWhenReady(output, POLLOUT, [&] { return ::write(output, data, size); });
}

// The socket stays blocking for the other calls; only this write returns
// when the agent takes nothing, to wait where the browser's leaving shows too.
// A Unix stream socket reports POLLOUT only once most of its send buffer is
// free again, while a send succeeds as soon as the agent has read one queued
// chunk; so once the browser has left, the send is tried again every
// AgentStall::kRetry rather than only when poll says so.
Transfer CompanionPosix::writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) {
  const int agent = socketOutFd;
  for (;;) {
    const ssize_t moved = ::send(agent, data, size, MSG_DONTWAIT);
    if (moved >= 0) return {true, static_cast<uint32_t>(moved), 0};
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return failed(errno);
    if (stopping()) return failed(kCancelledError);
    if (stall.expired()) return stall.giveUp(kEndOfStreamError);
    pollfd watched[] = {{agent, POLLOUT, 0}, {stdinFd, kInputGoneEvents, 0}};
    const int ready = ::poll(watched, stall.browserGone() ? 1 : 2, stall.waitMs(-1));
    if (ready < 0 && errno != EINTR) return failed(errno);
    if (ready > 0 && !stall.browserGone() && (watched[1].revents & kInputGoneRevents) != 0) stall.browserLeft();
  }
}

uint32_t CompanionPosix::getProcessId() { return static_cast<uint32_t>(::getpid()); }

std::string platform::userId() { return std::to_string(::geteuid()); }


std::string CompanionPosix::directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string CompanionPosix::directoryOfProgram(const char* programPath) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(programPath, error);
  return error ? programPath : directoryOf(absolute.string());
}

}  // namespace companion
