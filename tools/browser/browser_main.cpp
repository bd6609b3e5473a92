// companion-browser: a stand-in browser that runs the companion the way a browser runs a native-messaging host.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "io_posix.h"
#include "scoped_fd.h"

namespace {

using companion::retryAfterEintr;
using companion::ScopedFd;
using companion_test::readExactly;
using companion_test::readToEnd;
using companion_test::writeAll;

constexpr char kUsage[] =
    "Usage: companion-browser [-m JSON]... COMPANION [ARG...]\n"
    "Starts COMPANION with ARGs (say, an extension origin) and pipes on its\n"
    "standard input and output, sends each JSON message (without -m: each line\n"
    "of standard input) framed as native messaging, prints each reply, then\n"
    "closes the companion's input and prints its exit code.\n";

// Hang guard for a reply or for the companion to exit; a live agent answers
// in milliseconds.
constexpr int kTimeoutMs = 10000;
// Native messaging caps a message to the extension at 1 MiB.
constexpr uint32_t kMaxReply = 1024 * 1024;

struct Companion {
  pid_t pid = -1;
  ScopedFd input;   // the companion's standard input
  ScopedFd output;  // the companion's standard output
};

std::optional<Companion> start(char* argv[]) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  ScopedFd inRead(in[0]);
  Companion companion;
  companion.input.reset(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  ScopedFd outWrite(out[1]);
  companion.output.reset(out[0]);
  companion.pid = ::fork();
  if (companion.pid < 0) return std::nullopt;
  if (companion.pid == 0) {
    // This process ignores SIGPIPE; the companion must choose for itself, as
    // under a real browser.
    ::signal(SIGPIPE, SIG_DFL);
    if (::dup2(inRead.get(), STDIN_FILENO) < 0 || ::dup2(outWrite.get(), STDOUT_FILENO) < 0) ::_exit(127);
    ::execv(argv[0], argv);
    std::perror(argv[0]);
    ::_exit(127);
  }
  return companion;
}

// Native messaging: a 32-bit length in native byte order, then the UTF-8 JSON.
bool sendMessage(int fd, const std::string& json) {
  const uint32_t length = static_cast<uint32_t>(json.size());
  return writeAll(fd, &length, sizeof length) && writeAll(fd, json.data(), json.size());
}

std::optional<std::string> readMessage(int fd) {
  uint32_t length = 0;
  if (!readExactly(fd, &length, sizeof length, kTimeoutMs) || length > kMaxReply) return std::nullopt;
  std::string json(length, '\0');
  if (!readExactly(fd, json.data(), json.size(), kTimeoutMs)) return std::nullopt;
  return json;
}

// Reaps the companion and describes how it ended; one that outlives the
// guard is killed.
std::string finish(Companion& companion) {
  // The companion closes its output by exiting; whatever it still says is
  // no reply of a message.
  std::string unread;
  const bool exited = readToEnd(companion.output.get(), unread, kTimeoutMs) || errno != ETIMEDOUT;
  if (!exited) ::kill(companion.pid, SIGKILL);
  int status = 0;
  retryAfterEintr([&] { return ::waitpid(companion.pid, &status, 0); });
  if (!exited) return "none: it did not exit within 10 s and was killed";
  if (WIFSIGNALED(status)) return "none: killed by signal " + std::to_string(WTERMSIG(status));
  return std::to_string(WEXITSTATUS(status));
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> messages;
  int first = 1;
  for (; first + 1 < argc && std::strcmp(argv[first], "-m") == 0; first += 2) messages.push_back(argv[first + 1]);
  if (first >= argc || argv[first][0] == '-') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (messages.empty()) {
    for (std::string line; std::getline(std::cin, line);) messages.push_back(line);
  }
  // A companion that has gone must show as a failed write, not kill us.
  ::signal(SIGPIPE, SIG_IGN);

  std::optional<Companion> companion = start(argv + first);
  if (!companion) {
    std::perror("companion-browser: cannot start the companion");
    return 1;
  }
  std::cout << "companion pid: " << companion->pid << std::endl;
  for (const std::string& message : messages) {
    std::cout << "sent:  " << message << std::endl;
    std::optional<std::string> reply;
    if (sendMessage(companion->input.get(), message)) reply = readMessage(companion->output.get());
    if (!reply) {
      std::cout << "no reply: the companion closed the channel or stayed silent" << std::endl;
      break;
    }
    std::cout << "reply: " << *reply << std::endl;
  }
  companion->input.reset();
  std::cout << "exit code: " << finish(*companion) << std::endl;
  return 0;
}
