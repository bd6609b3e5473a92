// wine-bench: companion.exe against a direct connection to the agent's named pipe, for the benchmark's Wine ratios.
//
// wine-bench COMPANION_EXE
//
// Serves the companion's rendezvous pipe itself, from a thread of this
// process, and prints per figure the value through the companion and over a
// direct connection: "up MIBS MIBS", "down MIBS MIBS", "rtt50 US US"; then
// the milliseconds from a browser's leaving to the companion's exit while the
// agent reads nothing, median and maximum: "hangup MS MS".
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../stats.h"
#include "byte_pattern.h"
#include "child_process_win.h"
#include "io_win.h"
#include "platform_paths.h"
#include "scoped_handle_win.h"

namespace {

using Clock = std::chrono::steady_clock;
using companion::ScopedHandle;
using companion_bench::mibPerSecond;
using companion_bench::percentile;
using companion_support::ChildProcess;
using companion_support::patternStream;
using companion_support::readExactly;
using companion_support::writeAll;

// Every transfer on a pipe under Wine passes through the Wine server, so a
// smaller volume than on Linux keeps the run short.
constexpr size_t kThroughputBytes = size_t{16} << 20;
constexpr size_t kWarmupBytes = size_t{1} << 20;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMessageBytes = 64;
constexpr int kWarmupRoundTrips = 100;
constexpr int kRoundTrips = 2000;
// Companion and direct alternate, so that a busy moment does not fall on one.
constexpr int kRounds = 2;
constexpr int kLeavings = 5;


[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

// The companion's rendezvous name for this user, as its platform layer and
// the core's rule make it.
std::string pipeName() { return companion::userRendezvousPath(""); }

enum class Mode { kEcho, kSwallow, kSend, kStuck };

// The agent's side of one client. A client's first open takes the instance
// created first, which the agent writes; its second open the other one,
// which the agent reads. Lives until the client has closed both.
class Agent {
 public:
  Agent(const std::string& name, Mode mode, size_t sendBytes = 0) : mode_(mode), sendBytes_(sendBytes) {
    for (ScopedHandle* instance : {&down_, &up_}) {
      *instance = ScopedHandle(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 2, kChunk,
                                          kChunk, 0, nullptr));
      if (!*instance) fail("CreateNamedPipe");
    }
    thread_ = std::thread(&Agent::serve, this);
  }
  ~Agent() { thread_.join(); }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

 private:
  void serve() {
    for (const ScopedHandle* instance : {&down_, &up_}) {
      if (!ConnectNamedPipe(instance->get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    }
    const std::string pattern = patternStream(kChunk);
    for (size_t sent = 0; sent < sendBytes_; sent += kChunk) {
      if (!writeAll(down_.get(), pattern.data(), kChunk)) break;
    }
    std::vector<char> buffer(kChunk);
    DWORD read = 0;
    if (mode_ == Mode::kStuck) {
      // Nothing is read; the read on the other instance ends when the client goes.
      ReadFile(down_.get(), buffer.data(), kChunk, &read, nullptr);
      return;
    }
    while (ReadFile(up_.get(), buffer.data(), kChunk, &read, nullptr)) {
      if (mode_ == Mode::kEcho && !writeAll(down_.get(), buffer.data(), read)) break;
    }
  }

  Mode mode_;
  size_t sendBytes_;
  ScopedHandle down_;
  ScopedHandle up_;
  std::thread thread_;
};

// The browser's ends of one connection to the agent, and the relay process
// between them, if any.
struct Session {
  ScopedHandle toAgent;
  ScopedHandle fromAgent;
  ChildProcess process;

  // Closes the browser's side and waits for the relay to exit.
  void end() {
    toAgent.reset();
    process.wait();
    fromAgent.reset();
  }
};

using Opener = std::function<Session()>;

Session startCompanion(const std::string& program) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE ends[4];
  if (!CreatePipe(&ends[0], &ends[1], &inheritable, kChunk) || !CreatePipe(&ends[2], &ends[3], &inheritable, kChunk)) {
    fail("CreatePipe");
  }
  const ScopedHandle childIn(ends[0]);
  const ScopedHandle childOut(ends[3]);
  Session session{ScopedHandle(ends[1]), ScopedHandle(ends[2]), ChildProcess()};
  SetHandleInformation(session.toAgent.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(session.fromAgent.get(), HANDLE_FLAG_INHERIT, 0);
  ChildProcess::Options options;
  options.program = program;
  options.commandLine = L"\"" + options.program.wstring() + L"\"";
  options.streams = ChildProcess::StandardHandles{childIn.get(), childOut.get(), GetStdHandle(STD_ERROR_HANDLE)};
  if (!session.process.start(options)) fail("starting " + program);
  return session;
}

// Opens the pipe twice, in the companion's order: first to read, then to write.
Session connectDirectly(const std::string& name) {
  ScopedHandle read(CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ScopedHandle write(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!read || !write) fail("opening " + name);
  return Session{std::move(write), std::move(read), ChildProcess()};
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Moves the warm-up bytes untimed, then gives the seconds the rest takes.
double timed(Session& session, size_t bytes, bool up) {
  static const std::string pattern = patternStream(kChunk);
  static std::vector<char> buffer(kChunk);
  auto transfer = [&](size_t count) {
    for (size_t left = count; left > 0;) {
      const size_t size = left < kChunk ? left : kChunk;
      const bool ok = up ? writeAll(session.toAgent.get(), pattern.data(), size)
                         : readExactly(session.fromAgent.get(), buffer.data(), size);
      if (!ok) fail(up ? "WriteFile" : "ReadFile");
      left -= size;
    }
  };
  transfer(kWarmupBytes);
  const Clock::time_point start = Clock::now();
  transfer(bytes);
  return secondsSince(start);
}

// One relay's samples, collected over the rounds.
struct Samples {
  double upSeconds = 0;
  double downSeconds = 0;
  std::vector<double> roundTripsUs;
};

void runRound(const std::string& name, const Opener& open, Samples& samples) {
  const size_t bytes = kThroughputBytes / kRounds;
  {
    const Agent agent(name, Mode::kSwallow);
    Session session = open();
    samples.upSeconds += timed(session, bytes, true);
    session.end();
  }
  {
    const Agent agent(name, Mode::kSend, kWarmupBytes + bytes);
    Session session = open();
    samples.downSeconds += timed(session, bytes, false);
    session.end();
  }
  const Agent agent(name, Mode::kEcho);
  Session session = open();
  char message[kMessageBytes] = {};
  for (int i = 0; i < kWarmupRoundTrips + kRoundTrips / kRounds; ++i) {
    const Clock::time_point start = Clock::now();
    if (!writeAll(session.toAgent.get(), message, sizeof message) ||
        !readExactly(session.fromAgent.get(), message, sizeof message)) {
      fail("a round trip");
    }
    if (i >= kWarmupRoundTrips) samples.roundTripsUs.push_back(secondsSince(start) * 1e6);
  }
  session.end();
}

// The companion waits on an agent that reads nothing; the browser, having
// filled its pipe, goes, closing both its ends.
double msToExitAfterLeaving(const std::string& name, const std::string& program) {
  const Agent agent(name, Mode::kStuck);
  Session session = startCompanion(program);
  // In no-wait mode a write takes what fits: full once nothing fits for a while.
  DWORD mode = PIPE_NOWAIT;
  SetNamedPipeHandleState(session.toAgent.get(), &mode, nullptr, nullptr);
  static const std::string pattern = patternStream(kChunk);
  for (Clock::time_point taken = Clock::now(); secondsSince(taken) < 0.3;) {
    DWORD written = 0;
    if (!WriteFile(session.toAgent.get(), pattern.data(), kChunk, &written, nullptr)) fail("WriteFile");
    if (written > 0) {
      taken = Clock::now();
    } else {
      Sleep(10);
    }
  }
  const Clock::time_point start = Clock::now();
  session.toAgent.reset();
  session.fromAgent.reset();
  session.process.wait();
  return secondsSince(start) * 1e3;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: wine-bench COMPANION_EXE\n");
    return 2;
  }
  try {
    const std::string name = pipeName();
    const Opener companion = [&] { return startCompanion(argv[1]); };
    const Opener direct = [&] { return connectDirectly(name); };
    Samples throughCompanion;
    Samples throughDirect;
    for (int round = 0; round < kRounds; ++round) {
      runRound(name, companion, throughCompanion);
      runRound(name, direct, throughDirect);
    }
    std::printf("up %.1f %.1f\n", mibPerSecond(kThroughputBytes, throughCompanion.upSeconds),
                mibPerSecond(kThroughputBytes, throughDirect.upSeconds));
    std::printf("down %.1f %.1f\n", mibPerSecond(kThroughputBytes, throughCompanion.downSeconds),
                mibPerSecond(kThroughputBytes, throughDirect.downSeconds));
    std::printf("rtt50 %.1f %.1f\n", percentile(throughCompanion.roundTripsUs, 0.5),
                percentile(throughDirect.roundTripsUs, 0.5));
    std::vector<double> leavings;
    for (int i = 0; i < kLeavings; ++i) leavings.push_back(msToExitAfterLeaving(name, argv[1]));
    std::printf("hangup %.1f %.1f\n", percentile(leavings, 0.5), percentile(leavings, 1.0));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wine-bench: %s\n", error.what());
    return 1;
  }
}
