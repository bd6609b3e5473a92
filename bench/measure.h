// The benchmark's measurements, run the same way for every relay.
#pragma once

#include <limits>
#include <vector>

#include "relay.h"

namespace companion_bench {

constexpr double kNotApplicable = std::numeric_limits<double>::quiet_NaN();

// One relay's figures; a direct connection has no process, so the figures
// of the process stay kNotApplicable.
struct Figures {
  double upMiBs = kNotApplicable;    // browser to agent
  double downMiBs = kNotApplicable;  // agent to browser
  double roundTripP50Us = kNotApplicable;
  double roundTripP99Us = kNotApplicable;
  double startupMs = kNotApplicable;  // median, from the start to the first echoed byte
  double exitMs = kNotApplicable;     // median, from closing the input to the exit
  double peakResidentMiB = kNotApplicable;
  double idleCpuUs = kNotApplicable;  // over kIdleSeconds with both sides connected
};

constexpr int kIdleSeconds = 2;
// Each measurement is split over this many rounds, and the rounds of all
// relays alternate: a busy moment of the machine, or an unlucky placement of
// the processes on its cores, then does not fall on one relay alone.
constexpr int kRounds = 4;
constexpr int kRoundTrips = 2000;
// At least 20 starts in all; more, because a start varies more than the rest.
constexpr int kStartsPerRound = 10;

// Collects one relay's samples over the rounds, each against agents it
// starts one after the other. Failures throw std::runtime_error.
class RelayBench {
 public:
  RelayBench(const Site& site, const Relay& relay) : site_(site), relay_(relay) {}

  // One round's share of every measurement; the idle CPU time is taken once,
  // in round 0.
  void runRound(int round);
  Figures figures() const;

 private:
  void throughputUp();
  void throughputDown();
  void echoSession(bool measureIdle);
  void starts();

  const Site& site_;
  const Relay& relay_;
  double upSeconds_ = 0;
  double downSeconds_ = 0;
  std::vector<double> roundTripsUs_;
  std::vector<double> startupsMs_;
  std::vector<double> exitsMs_;
  double peakResidentMiB_ = kNotApplicable;
  double idleCpuUs_ = kNotApplicable;
};

}  // namespace companion_bench
