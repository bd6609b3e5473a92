// Stand-in desktop agent: serves the companion's named pipe for the end-to-end
// tests and tells the test on its standard output what it saw.
//
// stand_in_agent PIPE [--clients N] [--echo] [--send N] [--record FILE] [--no-read]
//                     [--close socketIn|socketOut] [--unreadable-server socketIn|socketOut]
//                     [--first-only] [--busy] [--hold] [--read-every MS [--read-size N] [--slow-for MS]]
//
// Without --echo it swallows what it reads; with --no-read it reads nothing;
// with --hold it reads nothing until a byte arrives on its standard input.
// --read-every makes it a slow reader: one read of at most --read-size bytes
// (4096) every MS, for --slow-for MS after its first read, or for ever.
// Connection names are the companion's: it reads from "socketIn" and writes
// to "socketOut". With --unreadable-server that connection's pipe instance
// is served by a helper process that no other process may open, so that the
// server's user cannot be read.
// Output lines: "ready" once listening, "connected PID" per connection,
// "paired PID" per client, "level N" (the impersonation level the client
// allows) at a client's first bytes. Exits 0 when every client has gone; a
// --busy agent holds its pipe until its standard input ends.
#include <windows.h>
#include <aclapi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"
#include "support.h"

namespace {

using companion_test::ScopedHandle;

struct Options {
  std::string pipeName;
  int clients = 1;
  bool echo = false;
  size_t sendBytes = 0;
  std::string recordPath;
  std::string close;
  std::string unreadable;
  bool noRead = false;
  bool firstOnly = false;
  bool busy = false;
  bool hold = false;
  DWORD readEveryMs = 0;
  DWORD readSize = 4096;
  std::optional<DWORD> slowForMs;
  DWORD handOverTo = 0;  // the helper of --unreadable-server: the agent's process id
};

std::mutex reportMutex;

void report(const std::string& line) {
  std::lock_guard<std::mutex> lock(reportMutex);
  const std::string text = line + "\n";
  companion_support::writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
}

bool parse(int argc, char* argv[], Options& options) {
  if (argc < 2) return false;
  options.pipeName = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string flag = argv[i];
    const bool hasValue = i + 1 < argc;
    if (flag == "--echo") options.echo = true;
    else if (flag == "--no-read") options.noRead = true;
    else if (flag == "--first-only") options.firstOnly = true;
    else if (flag == "--busy") options.busy = true;
    else if (flag == "--hold") options.hold = true;
    else if (flag == "--read-every" && hasValue) options.readEveryMs = std::strtoul(argv[++i], nullptr, 10);
    else if (flag == "--read-size" && hasValue) options.readSize = std::strtoul(argv[++i], nullptr, 10);
    else if (flag == "--slow-for" && hasValue) options.slowForMs = std::strtoul(argv[++i], nullptr, 10);
    else if (flag == "--clients" && hasValue) options.clients = std::atoi(argv[++i]);
    else if (flag == "--send" && hasValue) options.sendBytes = std::strtoul(argv[++i], nullptr, 10);
    else if (flag == "--record" && hasValue) options.recordPath = argv[++i];
    else if (flag == "--close" && hasValue) options.close = argv[++i];
    else if (flag == "--unreadable-server" && hasValue) options.unreadable = argv[++i];
    else if (flag == "--hand-over" && hasValue) options.handOverTo = std::strtoul(argv[++i], nullptr, 10);
    else return false;
  }
  return options.clients > 0 && options.readSize > 0;
}

// The level at which this server may act as the client, which the client
// chose when it opened the pipe; -1 when it cannot be impersonated at all.
int impersonationLevel(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe)) return -1;
  HANDLE token = nullptr;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD size = 0;
  const bool known = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
                     GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
  const ScopedHandle owner(token);
  RevertToSelf();
  return known ? static_cast<int>(level) : -1;
}

// Blocks until the client closes its end, or until it has sent the given
// number of bytes.
void awaitDisconnect(HANDLE pipe, size_t bytes = SIZE_MAX) {
  char byte;
  DWORD read = 0;
  for (size_t taken = 0; taken < bytes && ReadFile(pipe, &byte, 1, &read, nullptr); taken += read) {
  }
}

void serve(const Options& options, DWORD pid, ScopedHandle socketIn, ScopedHandle socketOut) {
  if (options.close == "socketIn") socketIn.reset();
  if (options.close == "socketOut") socketOut.reset();
  // Only now: a test that waits for this line finds the connection closed.
  report("paired " + std::to_string(pid));
  std::thread sender;
  if (options.sendBytes > 0 && socketIn) {
    sender = std::thread([&] {
      const std::string bytes = companion_test::patternBytes(options.sendBytes, companion_test::kAgentStream);
      companion_support::writeAll(socketIn.get(), bytes.data(), bytes.size());
    });
  }
  std::string received;
  std::vector<char> buffer(65536);
  DWORD read = 0;
  bool first = true;
  if (options.hold) awaitDisconnect(GetStdHandle(STD_INPUT_HANDLE), 1);
  std::optional<std::chrono::steady_clock::time_point> slowUntil;
  const auto slow = [&] { return options.readEveryMs > 0 && (!slowUntil || std::chrono::steady_clock::now() < *slowUntil); };
  while (socketOut && !options.noRead &&
         ReadFile(socketOut.get(), buffer.data(), slow() ? options.readSize : static_cast<DWORD>(buffer.size()), &read,
                  nullptr)) {
    if (slow()) {
      if (!slowUntil && options.slowForMs) slowUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(*options.slowForMs);
      Sleep(options.readEveryMs);
    }
    // A server can only impersonate once it has read from the client.
    if (std::exchange(first, false)) report("level " + std::to_string(impersonationLevel(socketOut.get())));
    if (!options.recordPath.empty()) received.append(buffer.data(), read);
    if (options.echo && !companion_support::writeAll(socketIn.get(), buffer.data(), read)) break;
  }
  if (sender.joinable()) sender.join();
  if (socketIn) awaitDisconnect(socketIn.get());
  if (!options.recordPath.empty()) std::ofstream(options.recordPath, std::ios::binary) << received;
}

// Pairs each client's two connections by its process id, so that clients
// whose opens interleave are still told apart. Clients take the listening
// instances in the order they were created, so the lower instance of a pair
// is the client's first open: the one it reads from.
class Listener {
 public:
  explicit Listener(const Options& options) : options_(options) {}

  void accept(size_t instance, ScopedHandle pipe) {
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    ULONG pid = 0;
    GetNamedPipeClientProcessId(pipe.get(), &pid);
    report("connected " + std::to_string(pid));
    std::unique_lock<std::mutex> lock(mutex_);
    const auto partner = waiting_.find(pid);
    if (partner == waiting_.end()) {
      waiting_.emplace(pid, Connection{instance, std::move(pipe)});
      return;
    }
    Connection first = std::move(partner->second);
    waiting_.erase(partner);
    lock.unlock();
    if (first.instance < instance) {
      serve(options_, pid, std::move(first.pipe), std::move(pipe));
    } else {
      serve(options_, pid, std::move(pipe), std::move(first.pipe));
    }
  }

  // Connections whose partner never came (--first-only) stay open until
  // their client goes.
  void awaitUnpaired() {
    for (auto& entry : waiting_) awaitDisconnect(entry.second.pipe.get());
  }

 private:
  struct Connection {
    size_t instance;
    ScopedHandle pipe;
  };

  const Options& options_;
  std::mutex mutex_;
  std::map<ULONG, Connection> waiting_;
};

ScopedHandle createInstance(const std::string& name, bool single) {
  return ScopedHandle(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       single ? 1 : PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
}

// The helper of --unreadable-server: creates one instance, which makes this
// process its server, hands it to the agent, lets no other process open this
// one, and lives until the agent ends.
int handOver(const Options& options) {
  const ScopedHandle instance = createInstance(options.pipeName, false);
  const ScopedHandle agent(OpenProcess(PROCESS_DUP_HANDLE, FALSE, options.handOverTo));
  HANDLE handed = nullptr;
  ACL empty;
  if (!instance || !agent ||
      !DuplicateHandle(GetCurrentProcess(), instance.get(), agent.get(), &handed, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
      !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
      SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty,
                      nullptr) != ERROR_SUCCESS) {
    return 2;
  }
  report("handle " + std::to_string(reinterpret_cast<uintptr_t>(handed)));
  awaitDisconnect(GetStdHandle(STD_INPUT_HANDLE));
  return 0;
}

// An instance that the helper serves, for as long as helper lives.
ScopedHandle instanceOfUnreadableServer(const std::string& name, std::unique_ptr<companion_test::Child>& helper) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  helper = std::make_unique<companion_test::Child>(
      self, std::vector<std::string>{name, "--hand-over", std::to_string(GetCurrentProcessId())});
  const std::optional<std::string> line = helper->waitForLine("handle ", std::chrono::seconds(60));
  return line ? ScopedHandle(reinterpret_cast<HANDLE>(std::stoull(line->substr(7)))) : ScopedHandle();
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: stand_in_agent PIPE [--clients N] [--echo] [--send N] [--record FILE] [--no-read] "
                         "[--close socketIn|socketOut] [--unreadable-server socketIn|socketOut] [--first-only] [--busy] "
                         "[--hold] [--read-every MS [--read-size N] [--slow-for MS]]\n");
    return 2;
  }
  if (options.handOverTo != 0) return handOver(options);
  // Every instance listens before "ready", so a client's second open never
  // finds the pipe busy; --first-only and --busy allow a single instance.
  const bool single = options.firstOnly || options.busy;
  const int instances = single ? 1 : 2 * options.clients;
  std::vector<ScopedHandle> pipes;
  // A client's first open takes instance 0 (socketIn), its second instance 1.
  const int unreadable = options.unreadable == "socketIn" ? 0 : options.unreadable == "socketOut" ? 1 : -1;
  std::unique_ptr<companion_test::Child> helper;
  for (int i = 0; i < instances; ++i) {
    pipes.push_back(i == unreadable ? instanceOfUnreadableServer(options.pipeName, helper)
                                    : createInstance(options.pipeName, single));
    if (!pipes.back()) {
      std::fprintf(stderr, "CreateNamedPipe failed: %lu\n", GetLastError());
      return 2;
    }
  }
  if (options.busy) {
    ScopedHandle self(CreateFileA(options.pipeName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    report("ready");
    awaitDisconnect(GetStdHandle(STD_INPUT_HANDLE));
    return 0;
  }
  Listener listener(options);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < pipes.size(); ++i) {
    threads.emplace_back(&Listener::accept, &listener, i, std::move(pipes[i]));
  }
  report("ready");
  for (std::thread& thread : threads) thread.join();
  listener.awaitUnpaired();
  return 0;
}
