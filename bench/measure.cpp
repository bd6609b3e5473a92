// Measures throughput both ways, round trips, start-up, exit, peak memory and idle CPU of one relay.
#include "measure.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "byte_pattern.h"
#include "stats.h"
#include "transfer.h"

namespace companion_bench {
namespace {

using Clock = std::chrono::steady_clock;

// Moved before the timed part of a throughput session, so that start-up and
// the filling of the buffers on the way are not timed.
constexpr size_t kWarmupBytes = 4 << 20;
// The browser side's reads and writes; the relay then decides its own chunks.
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMessageBytes = 64;
constexpr int kWarmupRoundTrips = 100;
// The relay's last echo may still be on its way back to a blocking read.
constexpr std::chrono::milliseconds kIdleSettle{100};
// Generous even for the slowest relay's throughput session.
constexpr unsigned kWatchdogSeconds = 60;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void feed(int fd, size_t bytes) {
  static const std::string chunk = companion_support::patternStream(kChunk);
  for (size_t left = bytes; left > 0;) {
    const size_t size = std::min(left, chunk.size());
    writeAll(fd, chunk.data(), size);
    left -= size;
  }
}

void drain(int fd, size_t bytes) {
  static std::vector<char> chunk(kChunk);
  for (size_t left = bytes; left > 0;) left -= readSome(fd, chunk.data(), std::min(left, chunk.size()));
}

// Moves the warm-up bytes, then gives the seconds that the given number of
// bytes take.
template <typename Transfer>
double timedTransfer(size_t bytes, Transfer transfer) {
  transfer(kWarmupBytes);
  const Clock::time_point start = Clock::now();
  transfer(bytes);
  return secondsSince(start);
}

// Round-trip times of 64-byte messages through an echo, in microseconds.
void roundTrips(const Session& session, int count, std::vector<double>& times) {
  std::vector<char> message(kMessageBytes, 'm');
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    writeAll(session.toAgent(), message.data(), message.size());
    readExactly(session.fromAgent(), message.data(), message.size());
    times.push_back(secondsSince(start) * 1e6);
  }
}

}  // namespace

void RelayBench::runRound(int round) {
  try {
    throughputUp();
    throughputDown();
    echoSession(round == 0);
    starts();
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(relay_.name + ": " + error.what());
  }
}

Figures RelayBench::figures() const {
  const size_t bytes = relay_.throughputBytes;
  Figures figures;
  figures.upMiBs = mibPerSecond(bytes, upSeconds_);
  figures.downMiBs = mibPerSecond(bytes, downSeconds_);
  figures.roundTripP50Us = percentile(roundTripsUs_, 0.5);
  figures.roundTripP99Us = percentile(roundTripsUs_, 0.99);
  figures.startupMs = percentile(startupsMs_, 0.5);
  if (!relay_.command.empty()) figures.exitMs = percentile(exitsMs_, 0.5);
  figures.peakResidentMiB = peakResidentMiB_;
  figures.idleCpuUs = idleCpuUs_;
  return figures;
}

void RelayBench::throughputUp() {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {"--swallow"});
  Session session(site_, relay_);
  upSeconds_ += timedTransfer(relay_.throughputBytes / kRounds, [&](size_t bytes) { feed(session.toAgent(), bytes); });
  finishSession(session, peakResidentMiB_);
}

void RelayBench::throughputDown() {
  const Watchdog watchdog(kWatchdogSeconds);
  const size_t bytes = relay_.throughputBytes / kRounds;
  const Agent agent(site_, relay_, {"--send", std::to_string(kWarmupBytes + bytes)});
  Session session(site_, relay_);
  downSeconds_ += timedTransfer(bytes, [&](size_t count) { drain(session.fromAgent(), count); });
  finishSession(session, peakResidentMiB_);
}

// Round trips, then the idle CPU time with both sides still connected.
void RelayBench::echoSession(bool measureIdle) {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {});
  Session session(site_, relay_);
  std::vector<double> warmup;
  roundTrips(session, kWarmupRoundTrips, warmup);
  roundTrips(session, kRoundTrips / kRounds, roundTripsUs_);
  if (measureIdle && session.pid()) {
    std::this_thread::sleep_for(kIdleSettle);
    const double before = session.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    idleCpuUs_ = (session.cpuSeconds() - before) * 1e6;
  }
  finishSession(session, peakResidentMiB_);
}

// Each start ends after one echoed byte, with the input closed at once.
void RelayBench::starts() {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {});
  for (int i = 0; i < kStartsPerRound; ++i) {
    const Clock::time_point start = Clock::now();
    Session session(site_, relay_);
    char byte = 's';
    writeAll(session.toAgent(), &byte, 1);
    readExactly(session.fromAgent(), &byte, 1);
    startupsMs_.push_back(secondsSince(start) * 1e3);
    exitsMs_.push_back(finishSession(session, peakResidentMiB_) * 1e3);
  }
}

}  // namespace companion_bench
