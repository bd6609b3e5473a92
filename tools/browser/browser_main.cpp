// companion-browser: a stand-in browser that runs the companion the way a browser runs a native-messaging host.
#include <signal.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "child_process_posix.h"
#include "io_posix.h"
#include "scoped_fd.h"

namespace {

using companion::ScopedFd;
using companion_support::ChildProcess;
using companion_support::readExactly;
using companion_support::readToEnd;
using companion_support::writeAll;

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
  ChildProcess process;
  ScopedFd input;   // the companion's standard input
  ScopedFd output;  // the companion's standard output
};

// Starts the companion with this process's environment, pipes on its
// standard input and output, and SIGPIPE's default action, as a real
// browser leaves it.
std::optional<Companion> start(char* argv[]) {
  companion_support::Pipe in = companion_support::makePipe();
  companion_support::Pipe out = companion_support::makePipe();
  if (!in.read.valid() || !out.read.valid()) return std::nullopt;
  ChildProcess::Options options;
  for (char** arg = argv; *arg != nullptr; ++arg) options.argv.push_back(*arg);
  options.in = in.read.get();
  options.out = out.write.get();
  Companion companion;
  if (!companion.process.start(options)) return std::nullopt;
  companion.input = std::move(in.write);
  companion.output = std::move(out.read);
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
  if (!exited) companion.process.kill(SIGKILL);
  const int status = companion.process.wait().value_or(0);
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
  std::cout << "companion pid: " << companion->process.pid() << std::endl;
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
