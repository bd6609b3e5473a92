// Starts the example agent and opens browser sessions through a relay process or a direct socket connection.
#include "relay.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "transfer.h"

namespace companion_bench {
namespace {

std::vector<std::string> agentCommand(const Site& site, const Relay& relay, const std::vector<std::string>& options) {
  std::vector<std::string> command{site.agentProgram};
  if (!relay.singleSocket.empty()) command.insert(command.end(), {"--single", "--socket", relay.singleSocket});
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

// The agent prints "ready PATH" once it listens.
void awaitReady(int output) {
  std::string line;
  char byte = 0;
  while (byte != '\n') {
    readExactly(output, &byte, 1);
    line += byte;
  }
  if (line.compare(0, 6, "ready ") != 0) throw std::runtime_error("agent said: " + line);
}

companion::ScopedFd connectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  companion::ScopedFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid() || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
  }
  return socket;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Agent::Agent(const Site& site, const Relay& relay, const std::vector<std::string>& options)
    : child_(agentCommand(site, relay, options), site.environment) {
  awaitReady(child_.output());
}

Agent::~Agent() {
  ::kill(child_.pid(), SIGTERM);
  child_.wait();
}

Session::Session(const Site& site, const Relay& relay) {
  if (relay.command.empty()) {
    socket_ = connectTo(relay.singleSocket);
  } else {
    process_.emplace(relay.command, site.environment);
  }
}

std::optional<pid_t> Session::pid() const {
  if (!process_) return std::nullopt;
  return process_->pid();
}

double Session::peakResidentMiB() const {
  if (!process_) return 0;
  std::ifstream status("/proc/" + std::to_string(process_->pid()) + "/status");
  for (std::string field; status >> field;) {
    double kib = 0;
    if (field == "VmHWM:" && status >> kib) return kib / 1024;
  }
  throw std::runtime_error("no VmHWM in /proc/" + std::to_string(process_->pid()) + "/status");
}

double Session::cpuSeconds() const {
  clockid_t clock;
  timespec used{};
  if (!process_ || ::clock_getcpuclockid(process_->pid(), &clock) != 0 || ::clock_gettime(clock, &used) != 0) {
    throw std::runtime_error("cannot read the relay's CPU time");
  }
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

double Session::endInput() {
  if (!process_) {
    socket_.reset();
    return 0;
  }
  const auto start = std::chrono::steady_clock::now();
  process_->closeInput();
  const int status = process_->wait();
  const double seconds = secondsSince(start);
  // Only the watchdog kills it.
  if (WIFSIGNALED(status)) throw std::runtime_error("the relay did not exit after the end of its input");
  return seconds;
}

double finishSession(Session& session, double& peakResidentMiB) {
  if (session.pid()) {
    const double peak = session.peakResidentMiB();
    peakResidentMiB = std::isnan(peakResidentMiB) ? peak : std::max(peakResidentMiB, peak);
  }
  return session.endInput();
}

}  // namespace companion_bench
