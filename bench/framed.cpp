// Measures a host with framed messages: round trips, echo throughput, start-up, exit and peak memory.
#include "framed.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "frame_lengths.h"
#include "stats.h"
#include "transfer.h"

namespace companion_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSmallMessage = 100;
constexpr size_t kEchoMessage = 64 * 1024;
constexpr size_t kLengthBytes = sizeof(uint32_t);
// Generous even for a host that waits between messages.
constexpr unsigned kWatchdogSeconds = 60;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A message as a browser writes it: its length, then a JSON object of
// exactly size bytes.
std::vector<char> framedMessage(size_t size) {
  const std::string opening = "{\"action\":\"echo\",\"data\":\"";
  const std::string closing = "\"}";
  const std::string json = opening + std::string(size - opening.size() - closing.size(), 'x') + closing;
  const auto length = static_cast<uint32_t>(json.size());
  std::vector<char> frame(kLengthBytes + json.size());
  std::memcpy(frame.data(), &length, kLengthBytes);
  json.copy(frame.data() + kLengthBytes, json.size());
  return frame;
}

// Counts the bodies of the replies as they come back. A byte relay gives the
// frames back as they went; a host that frames what its agent sends may cut
// one message's echo into several frames.
class Replies {
 public:
  void take(const char* data, size_t size) {
    frames_.follow(reinterpret_cast<const uint8_t*>(data), size, [&](uint32_t length) { bodyBytes_ += length; });
  }
  // Replies with bodies of bodyBytes have come back, the last of them whole.
  bool complete(uint64_t bodyBytes) const {
    if (bodyBytes_ > bodyBytes) throw std::runtime_error("replies longer than the messages came back");
    return bodyBytes_ == bodyBytes && frames_.atBoundary();
  }

 private:
  companion::FrameLengths frames_;
  uint64_t bodyBytes_ = 0;
};

void awaitReply(const Session& session, size_t bodyBytes) {
  Replies replies;
  char buffer[4096];
  while (!replies.complete(bodyBytes)) replies.take(buffer, readSome(session.fromAgent(), buffer, sizeof buffer));
}

void roundTrips(const Session& session, int count, std::vector<double>& timesUs) {
  static const std::vector<char> message = framedMessage(kSmallMessage);
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    writeAll(session.toAgent(), message.data(), message.size());
    awaitReply(session, kSmallMessage);
    timesUs.push_back(secondsSince(start) * 1e6);
  }
}

void setNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// Writes count 64 KiB messages while it reads their echoes, both in one poll
// loop; the seconds until the last echo is in.
double echo(const Session& session, int count) {
  static const std::vector<char> message = framedMessage(kEchoMessage);
  static std::vector<char> buffer(kEchoMessage);
  const uint64_t toWrite = static_cast<uint64_t>(count) * message.size();
  uint64_t written = 0;
  Replies replies;
  // Only this process's end of the pipe: the host's end stays blocking.
  setNonBlocking(session.toAgent(), true);
  const Clock::time_point start = Clock::now();
  while (!replies.complete(static_cast<uint64_t>(count) * kEchoMessage)) {
    pollfd fds[] = {{session.fromAgent(), POLLIN, 0}, {written < toWrite ? session.toAgent() : -1, POLLOUT, 0}};
    waitReady(fds, 2);
    if (fds[1].revents != 0) {
      const size_t at = written % message.size();
      written += writeSomeNow(session.toAgent(), message.data() + at, message.size() - at);
    }
    if (fds[0].revents != 0) replies.take(buffer.data(), readSome(session.fromAgent(), buffer.data(), buffer.size()));
  }
  const double seconds = secondsSince(start);
  setNonBlocking(session.toAgent(), false);
  return seconds;
}

// One round's share of a count, and the untimed messages before it.
int share(int count) { return std::max(1, count / kRounds); }
int warmupFor(int count) { return std::max(1, count / 16); }

}  // namespace

void FramedBench::runRound() {
  try {
    roundTripSession();
    echoSession();
    starts();
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(relay_.name + ", framed: " + error.what());
  }
}

FramedFigures FramedBench::figures() const {
  FramedFigures figures;
  figures.roundTripP50Us = percentile(roundTripsUs_, 0.5);
  figures.roundTripP99Us = percentile(roundTripsUs_, 0.99);
  figures.echoMiBs = mibPerSecond(static_cast<size_t>(share(counts_.echoMessages)) * kRounds * kEchoMessage, echoSeconds_);
  figures.startupMs = percentile(startupsMs_, 0.5);
  figures.exitMs = percentile(exitsMs_, 0.5);
  figures.peakResidentMiB = peakResidentMiB_;
  return figures;
}

void FramedBench::roundTripSession() {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {});
  Session session(site_, relay_);
  const int count = share(counts_.roundTrips);
  std::vector<double> warmup;
  roundTrips(session, warmupFor(count), warmup);
  roundTrips(session, count, roundTripsUs_);
  finishSession(session, peakResidentMiB_);
}

void FramedBench::echoSession() {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {});
  Session session(site_, relay_);
  const int count = share(counts_.echoMessages);
  echo(session, warmupFor(count));
  echoSeconds_ += echo(session, count);
  finishSession(session, peakResidentMiB_);
}

// Each start ends after one reply, with the input closed at once.
void FramedBench::starts() {
  const Watchdog watchdog(kWatchdogSeconds);
  const Agent agent(site_, relay_, {});
  for (int i = 0; i < share(counts_.starts); ++i) {
    const Clock::time_point start = Clock::now();
    Session session(site_, relay_);
    std::vector<double> reply;
    roundTrips(session, 1, reply);
    startupsMs_.push_back(secondsSince(start) * 1e3);
    exitsMs_.push_back(finishSession(session, peakResidentMiB_) * 1e3);
  }
}

}  // namespace companion_bench
