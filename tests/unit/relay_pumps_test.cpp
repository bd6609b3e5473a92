// The relay pumps against scripted transfers: short writes, empty reads, the
// stop hand-shake, the first code, the drain and the agent's grace.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "logger.h"
#include "relay_pumps.h"
#include "return_codes.h"

namespace {

using companion::AgentStall;
using companion::Channel;
using companion::Transfer;

constexpr uint32_t kEndOfInput = 109;
constexpr uint32_t kCancelled = 995;

// One scripted transfer. A read hands over bytes or fails with error, after
// a cancellation with afterCancel, once the other direction's read waits for
// one with afterOtherWaits. A write takes at most `take` bytes or fails;
// `stall` is an agent that takes nothing after the browser left. A channel
// whose script has run out waits in a read until it is cancelled, and takes
// all of a write.
struct Step {
  std::string bytes;
  uint32_t error = 0;
  bool afterCancel = false;
  uint32_t take = UINT32_MAX;
  bool stall = false;
  bool afterOtherWaits = false;
};

class ScriptedPumps : public companion::RelayPumps {
 public:
  explicit ScriptedPumps(std::map<Channel, std::deque<Step>> script)
      : RelayPumps({stdBuffer_, stdCount_, socketBuffer_, socketCount_, socketResult_, stdResult_, socketDone_,
                    stdDone_, stop_}),
        script_(std::move(script)) {}

  int32_t run() { return relay(); }
  std::map<Channel, std::string> written;  // read once the run is over

 protected:
  Transfer readSome(Channel channel, uint8_t* data, uint32_t size) override {
    const Step step = next(channel).value_or(Step{"", kCancelled, true});
    if (step.afterOtherWaits) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return waiting_; });
    }
    if (step.afterCancel) waitForCancel(channel);
    if (step.error != 0) return {false, 0, step.error};
    std::copy(step.bytes.begin(), step.bytes.end(), data);
    return {true, std::min<uint32_t>(size, static_cast<uint32_t>(step.bytes.size())), 0};
  }
  Transfer writeSome(Channel channel, const uint8_t* data, uint32_t size) override {
    const Step step = next(channel).value_or(Step{});
    if (step.error != 0) return {false, 0, step.error};
    const uint32_t count = std::min(size, step.take);
    std::lock_guard<std::mutex> lock(mutex_);
    written[channel].append(reinterpret_cast<const char*>(data), count);
    return {true, count, 0};
  }
  Transfer writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) override {
    const std::optional<Step> step = next(Channel::kSocketOut, false);
    if (!step || !step->stall) return writeSome(Channel::kSocketOut, data, size);
    stall.browserLeft();
    while (!stall.expired()) std::this_thread::sleep_for(std::chrono::milliseconds(stall.waitMs(50)));
    return stall.giveUp(kEndOfInput);
  }
  void cancelTransfers(const Pump& pump) override {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_[pump.input] = true;
    changed_.notify_all();
  }

 private:
  std::optional<Step> next(Channel channel, bool take = true) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Step>& steps = script_[channel];
    if (steps.empty()) return std::nullopt;
    Step step = steps.front();
    if (take) steps.pop_front();
    return step;
  }
  void waitForCancel(Channel channel) {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return cancelled_[channel]; });
    cancelled_[channel] = false;
  }

  std::vector<uint8_t> stdBuffer_ = std::vector<uint8_t>(16), socketBuffer_ = std::vector<uint8_t>(16);
  uint32_t stdCount_ = 0, socketCount_ = 0;
  std::atomic<int32_t> socketResult_{0}, stdResult_{0};
  std::atomic<bool> socketDone_{false}, stdDone_{false}, stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Channel, bool> cancelled_;
  bool waiting_ = false;
  std::map<Channel, std::deque<Step>> script_;
};

struct RelayCase {
  const char* name;
  std::map<Channel, std::deque<Step>> script;
  int32_t code;
  std::string toAgent;
  std::string toBrowser;
  std::string errorRecord;
};

const RelayCase kCases[] = {
    {"ShortWritesAreCompletedInOrder",
     {{Channel::kStdin, {{"abcdef"}, {"", kEndOfInput}}}, {Channel::kSocketOut, {{"", 0, false, 2}, {"", 0, false, 3}}}},
     companion::kCodeReadFailed, "abcdef", "", "Read from stdin, error 109"},
    {"AnEmptyReadIsNoWriteAndTheRelayGoesOn",
     {{Channel::kStdin, {{""}, {"xy"}, {"", kEndOfInput}}}},
     companion::kCodeReadFailed, "xy", "", "Read from stdin, error 109"},
    {"BytesOfAReadThatSucceedsAfterTheStopAreDropped",
     {{Channel::kStdin, {{"", kEndOfInput, false, UINT32_MAX, false, true}}}, {Channel::kSocketIn, {{"late", 0, true}}}},
     companion::kCodeReadFailed, "", "", "Read from stdin, error 109"},
    {"TheDirectionThatEndsFirstGivesTheCode",
     {{Channel::kSocketIn, {{"hello"}}}, {Channel::kStdout, {{"", 32}}}},
     companion::kCodeStdoutWriteFailed, "", "", "Write to stdout, error: 32"},
    {"TheAgentsLastReplyIsDrainedAfterItStopsTaking",
     {{Channel::kStdin, {{"ask"}}}, {Channel::kSocketOut, {{"", 232}}}, {Channel::kSocketIn, {{"bye", 0, true}}}},
     companion::kCodeSocketWriteFailed, "", "bye", "Write to socketOut, error: 232"},
    {"ABrowserThatLeftEndsTheRunAfterTheAgentsGrace",
     {{Channel::kStdin, {{"data"}}}, {Channel::kSocketOut, {{"", 0, false, UINT32_MAX, true}}}},
     companion::kCodeReadFailed, "", "", "Read from stdin, error 109"},
};

void PrintTo(const RelayCase& relayCase, std::ostream* out) { *out << relayCase.name; }

class RelayPumpsTest : public ::testing::TestWithParam<RelayCase> {
 protected:
  void SetUp() override {
    companion::setLogCallback([this](companion::LoggerLevel level, const std::string& message, const std::string&,
                                     int32_t) {
      std::lock_guard<std::mutex> lock(recordsMutex_);
      if (level == companion::LoggerLevel::Error) errors_.push_back(message);
    });
  }
  void TearDown() override { companion::setLogCallback({}); }

  std::vector<std::string> errors_;
  std::mutex recordsMutex_;
};

TEST_P(RelayPumpsTest, Relays) {
  const RelayCase& relayCase = GetParam();
  ScriptedPumps pumps(relayCase.script);
  EXPECT_EQ(pumps.run(), relayCase.code);
  EXPECT_EQ(pumps.written[Channel::kSocketOut], relayCase.toAgent);
  EXPECT_EQ(pumps.written[Channel::kStdout], relayCase.toBrowser);
  // The first error record is the end's own; the other pump's cancelled
  // transfer may follow it.
  ASSERT_FALSE(errors_.empty());
  EXPECT_EQ(errors_.front(), relayCase.errorRecord);
}

INSTANTIATE_TEST_SUITE_P(Scripted, RelayPumpsTest, ::testing::ValuesIn(kCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
