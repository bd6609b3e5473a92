// CompanionPosix: Unix-socket rendezvous, the two relay pumps on blocking
// calls that a signal cancels, and the per-user paths of Linux.
#include "companionposix.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "scoped_fd.h"

namespace companion {
namespace {

// An environment variable's value when it holds an absolute path, else empty.
std::string absoluteEnvPath(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

// The directory part of a path: everything before the last '/', or the whole
// path when it has none.
std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash);
}

// The Windows file type numbers, so that the records read the same on both
// platforms: disk 1, character 2, anything else unknown (0).
int32_t fileTypeNumber(mode_t mode) {
  if (S_ISREG(mode)) return 1;
  if (S_ISCHR(mode)) return 2;
  return 0;
}

// Logs a failed connect and gives its code: no agent serving, every
// connection slot taken, or anything else.
int32_t reportConnectError(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
      COMPANION_LOG(LoggerLevel::Warning, "Open socket not exists, error: %1", error);
      return kCodeSocketNotFound;
    case EAGAIN:
      COMPANION_LOG(LoggerLevel::Warning, "Open socket busy, error: %1", error);
      return kCodeSocketBusy;
    default:
      COMPANION_LOG(LoggerLevel::Error, "Open socket invalid handle, error: %1", error);
      return kCodeSocketInvalid;
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

// Creates one directory, private to the user whatever the umask.
void makePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) ::chmod(path.c_str(), 0700);
}

}  // namespace

// One relay direction: what its pump reads from and writes to, and the names
// and codes it reports with.
struct CompanionPosix::Direction {
  std::atomic<int>& input;
  std::atomic<int>& output;
  std::vector<uint8_t>& buffer;
  uint32_t& count;
  const char* inputName;
  const char* outputName;
  const char* pumpName;
  const char* otherPumpName;
  int32_t writeFailCode;
  std::atomic<int32_t>& result;
  const std::atomic<int32_t>& otherResult;
  std::atomic<bool>& done;
  const std::atomic<bool>& otherDone;
  const pthread_t& otherThread;
};

CompanionPosix::CompanionPosix()
    : stdinClosedAtStart(holdIfClosed(STDIN_FILENO)), stdoutClosedAtStart(holdIfClosed(STDOUT_FILENO)) {
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
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ScopedFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
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
  if (error != 0) return reportConnectError(error);

  // Under /tmp another user could have created the socket first: only a
  // server running as this user gets the browser's traffic.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
    COMPANION_LOG(LoggerLevel::Error, "Open socket refused, server uid: %1, own uid: %2",
                  static_cast<int32_t>(peer.uid), static_cast<uint32_t>(::geteuid()));
    return kCodeSocketInvalid;
  }
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

  const Direction fromSocket{socketInFd, stdoutFd, socketBuffer, socketCount, "socketIn", "stdout", "socket", "std",
                             kCodeStdoutWriteFailed, socketResult, stdResult, socketDone, stdDone, stdThread};
  const Direction fromStd{stdinFd, socketOutFd, stdBuffer, stdCount, "stdin", "socketOut", "std", "socket",
                          kCodeSocketWriteFailed, stdResult, socketResult, stdDone, socketDone, socketThread};
  stdThread = ::pthread_self();
  std::thread socketPump([&] { pump(fromSocket); });
  socketThread = socketPump.native_handle();
  pump(fromStd);
  socketPump.join();
  return socketResult != 0 ? socketResult.load() : stdResult.load();
}

void CompanionPosix::pump(const Direction& direction) {
  int32_t code = kCodeSuccess;
  while (!stopRequested) {
    COMPANION_LOG(LoggerLevel::Debug, "Start read from %1", direction.inputName);
    code = readFrom(direction.input, direction.buffer, direction.count, direction.inputName) ? kCodeSuccess
                                                                                             : kCodeReadFailed;
    COMPANION_LOG(LoggerLevel::Debug, "Stop read from %1", direction.inputName);
    // Bytes read while the relay is stopping are dropped, not written.
    if (code != kCodeSuccess || stopRequested) break;
    COMPANION_LOG(LoggerLevel::Debug, "Start write to %1", direction.outputName);
    code = writeTo(direction.output, direction.buffer, direction.count, direction.outputName)
               ? kCodeSuccess
               : direction.writeFailCode;
    COMPANION_LOG(LoggerLevel::Debug, "Stop write to %1", direction.outputName);
    if (code != kCodeSuccess) break;
  }
  {
    std::lock_guard<std::mutex> lock(doneMutex);
    direction.done = true;
  }
  doneChanged.notify_all();
  COMPANION_LOG(LoggerLevel::Debug, "Stop run %1", direction.pumpName);
  if (direction.otherResult == 0) direction.result = code;
  stopOther(direction);
}

void CompanionPosix::stopOther(const Direction& direction) {
  stopRequested = true;
  COMPANION_LOG(LoggerLevel::Debug, "Start wait %1 finish", direction.otherPumpName);
  // A signal that lands just before the other pump enters a blocking call is
  // lost, so it is repeated every 5 ms until that pump is done.
  std::unique_lock<std::mutex> lock(doneMutex);
  while (!direction.otherDone) {
    ::pthread_kill(direction.otherThread, kCancelSignal);
    doneChanged.wait_for(lock, std::chrono::milliseconds(5));
  }
  lock.unlock();
  COMPANION_LOG(LoggerLevel::Debug, "Stop wait %1 finish", direction.otherPumpName);
}

template <typename Transfer>
ssize_t CompanionPosix::transferWhenReady(int fd, short events, Transfer transfer) {
  for (;;) {
    const ssize_t transferred = transfer();
    if (transferred >= 0) return transferred;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Descriptors the browser handed over non-blocking.
      pollfd ready{fd, events, 0};
      if (::poll(&ready, 1, -1) >= 0) continue;
    }
    if (errno != EINTR) return -errno;
    if (stopRequested) return -kCancelledError;
  }
}

bool CompanionPosix::readFrom(std::atomic<int>& fd, std::vector<uint8_t>& buffer, uint32_t& count,
                              const char* name) {
  const int input = fd;
  ssize_t result = transferWhenReady(input, POLLIN, [&] { return ::read(input, buffer.data(), buffer.size()); });
  if (result == 0) result = -kEndOfStreamError;
  if (result < 0) {
    count = 0;
    COMPANION_LOG(LoggerLevel::Error, "Read from %1, error %2", name, static_cast<int32_t>(-result));
    return false;
  }
  count = static_cast<uint32_t>(result);
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1 bytes: %2", name, count);
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1, size: %2, data: %3", name, count, formatData(buffer.data(), count));
  return true;
}

bool CompanionPosix::writeTo(std::atomic<int>& fd, std::vector<uint8_t>& buffer, uint32_t& count,
                             const char* name) {
  if (count == 0) return true;
  if (count > buffer.size()) {
    count = 0;
    return true;
  }
  COMPANION_LOG(LoggerLevel::Debug, "Write to %1, size: %2, data: %3", name, count, formatData(buffer.data(), count));
  const int output = fd;
  for (uint32_t written = 0; written < count;) {
    const ssize_t result =
        transferWhenReady(output, POLLOUT, [&] { return ::write(output, buffer.data() + written, count - written); });
    if (result < 0) {
      COMPANION_LOG(LoggerLevel::Error, "Write to %1, error: %2", name, static_cast<int32_t>(-result));
      return false;
    }
    COMPANION_LOG(LoggerLevel::Debug, "Write to %1 bytes: %2", name, static_cast<uint32_t>(result));
    written += static_cast<uint32_t>(result);
  }
  count = 0;
  return true;
}

uint32_t CompanionPosix::getProcessId() { return static_cast<uint32_t>(::getpid()); }

std::string CompanionPosix::getUserId() { return std::to_string(::geteuid()); }

std::string CompanionPosix::getSocketPathPrefix() {
  const std::string runtimeDir = absoluteEnvPath("XDG_RUNTIME_DIR");
  return (runtimeDir.empty() ? std::string("/tmp") : runtimeDir) + "/vantro-";
}

std::string CompanionPosix::getPlatformName() { return "linux"; }

std::string CompanionPosix::getLogDir() {
  std::string stateDir = absoluteEnvPath("XDG_STATE_HOME");
  if (stateDir.empty()) {
    std::string home = absoluteEnvPath("HOME");
    if (home.empty()) {
      const passwd* entry = ::getpwuid(::geteuid());
      if (entry != nullptr && entry->pw_dir != nullptr) home = entry->pw_dir;
    }
    if (home.empty()) return "";
    stateDir = home + "/.local/state";
  }
  return Formatter("%1/QM/quillmere2%2/logs", stateDir, logSuffix).str();
}

void CompanionPosix::createDirectories(const std::string& path) {
  // Each missing level is made by hand so that every new one is 0700.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    makePrivateDirectory(path.substr(0, slash));
  }
  if (!path.empty()) makePrivateDirectory(path);
}

uint64_t CompanionPosix::fileSize(const std::string& path) { return sizeOfFile(path); }

void CompanionPosix::removeFile(const std::string& path) { removeFileIfAny(path); }

void CompanionPosix::renameFile(const std::string& from, const std::string& to) { renameReplacing(from, to); }

bool CompanionPosix::fileExists(const std::string& path) { return anythingExistsAt(path); }

std::string CompanionPosix::getExecutableDir(const char* programPath) {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) return directoryOf(executable.string());
  const std::filesystem::path absolute = std::filesystem::absolute(programPath, error);
  if (!error) return directoryOf(absolute.string());
  return programPath;
}

}  // namespace companion
