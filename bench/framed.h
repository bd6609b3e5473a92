// The framed part of the benchmark: native messages as a browser sends them
// (a 4-byte length in native byte order, then JSON), through each host to the
// echoing agent and back.
#pragma once

#include <string>
#include <vector>

#include "measure.h"
#include "relay.h"

namespace companion_bench {

struct FramedFigures {
  double roundTripP50Us = kNotApplicable;  // of a 100-byte message
  double roundTripP99Us = kNotApplicable;
  double echoMiBs = kNotApplicable;   // 64 KiB messages, written and read back at once
  double startupMs = kNotApplicable;  // median, from the start to the first reply
  double exitMs = kNotApplicable;     // median, from closing the input to the exit
  double peakResidentMiB = kNotApplicable;
};

// How much one host is measured, in all rounds together; a host that is slow
// by design gets fewer.
struct FramedCounts {
  int roundTrips;
  int echoMessages;
  int starts;
};

// Collects one host's samples over the rounds, as RelayBench does. Failures
// throw std::runtime_error.
class FramedBench {
 public:
  FramedBench(const Site& site, const Relay& relay, FramedCounts counts)
      : site_(site), relay_(relay), counts_(counts) {}

  void runRound();
  FramedFigures figures() const;
  const Relay& relay() const { return relay_; }
  FramedCounts counts() const { return counts_; }

 private:
  void roundTripSession();
  void echoSession();
  void starts();

  const Site& site_;
  const Relay& relay_;
  FramedCounts counts_;
  std::vector<double> roundTripsUs_;
  double echoSeconds_ = 0;
  std::vector<double> startupsMs_;
  std::vector<double> exitsMs_;
  double peakResidentMiB_ = kNotApplicable;
};

}  // namespace companion_bench
