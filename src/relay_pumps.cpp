// The relay pumps, their transfers' records, the stop hand-shake and the agent's grace
// after the browser left.
#include "relay_pumps.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "log_record.h"
#include "logger.h"
#include "return_codes.h"

namespace companion {
namespace {

// Pause between two passes that cancel the other pump's transfers.
constexpr std::chrono::milliseconds kCancelInterval(5);
// The longest the agent's last reply may take to reach a browser that reads
// it slowly; the relay stops after it in any case.
constexpr std::chrono::seconds kDrainLimit(2);

}  // namespace

int AgentStall::waitMs(int lookMs) const {
  if (!since_) return lookMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*since_ + kGrace - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kRetry.count()));
}

RelayPumps::RelayPumps(const RelayState& state)
    : socketPump_{"socket",           Channel::kSocketIn, "socketIn", Channel::kStdout,
                  "stdout",           state.socketBuffer, state.socketCount,
                  kCodeStdoutWriteFailed, state.socketResult, state.socketDone, socketStarted_},
      stdPump_{"std",           Channel::kStdin, "stdin",   Channel::kSocketOut,
               "socketOut",     state.stdBuffer, state.stdCount,
               kCodeSocketWriteFailed, state.stdResult, state.stdDone, stdStarted_},
      stopRequested_(state.stopRequested) {}

int32_t RelayPumps::relay() {
  std::thread socketThread(&RelayPumps::runSocket, this);
  runStd();
  socketThread.join();
  const int32_t socketCode = socketPump_.result;
  return socketCode != kCodeSuccess ? socketCode : stdPump_.result.load();
}

void RelayPumps::runSocket() { pump(socketPump_, stdPump_); }

void RelayPumps::runStd() { pump(stdPump_, socketPump_); }

void RelayPumps::pump(const Pump& self, const Pump& other) {
  {
    std::lock_guard<std::mutex> lock(doneMutex_);
    pumpStarting(self);
    self.started = true;
  }
  ReturnCode code = kCodeSuccess;
  while (!stopRequested_) {
    COMPANION_LOG(LoggerLevel::Debug, "Start read from %1", self.inputName);
    code = readFrom(self) ? kCodeSuccess : kCodeReadFailed;
    COMPANION_LOG(LoggerLevel::Debug, "Stop read from %1", self.inputName);
    // Bytes read after the other pump has ended are dropped.
    if (code != kCodeSuccess || stopRequested_) break;
    COMPANION_LOG(LoggerLevel::Debug, "Start write to %1", self.outputName);
    code = writeTo(self);
    COMPANION_LOG(LoggerLevel::Debug, "Stop write to %1", self.outputName);
    if (code != kCodeSuccess) break;
  }
  {
    std::lock_guard<std::mutex> lock(doneMutex_);
    self.done = true;
    // Only the direction that ended first records its code.
    if (self.result == kCodeSuccess && other.result == kCodeSuccess) self.result = code;
  }
  doneChanged_.notify_all();
  COMPANION_LOG(LoggerLevel::Debug, "Stop run %1", self.name);
  if (code == kCodeSocketWriteFailed) {
    drainOther(other);
  } else {
    stopOther(other);
  }
}

void RelayPumps::stopOther(const Pump& other) {
  stopRequested_ = true;
  COMPANION_LOG(LoggerLevel::Debug, "Start wait %1 finish", other.name);
  std::unique_lock<std::mutex> lock(doneMutex_);
  cancelUntilDone(other, lock);
  lock.unlock();
  COMPANION_LOG(LoggerLevel::Debug, "Stop wait %1 finish", other.name);
}

// The agent has stopped taking bytes, but what it sent before may still be
// on its way to the browser: the other pump delivers what it can read without
// waiting, then ends.
void RelayPumps::drainOther(const Pump& other) {
  draining_ = true;
  COMPANION_LOG(LoggerLevel::Debug, "Start wait %1 finish", other.name);
  std::unique_lock<std::mutex> lock(doneMutex_);
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (!other.done && std::chrono::steady_clock::now() < deadline) {
    // Wakes a read that waits for more; a write to a slow browser goes on.
    if (other.started) cancelRead(other);
    doneChanged_.wait_for(lock, kCancelInterval);
  }
  stopRequested_ = true;
  cancelUntilDone(other, lock);
  lock.unlock();
  COMPANION_LOG(LoggerLevel::Debug, "Stop wait %1 finish", other.name);
}

void RelayPumps::cancelUntilDone(const Pump& pump, std::unique_lock<std::mutex>& lock) {
  while (!pump.done) {
    // A pump that has not started yet sees the stop flag before its first
    // transfer.
    if (pump.started) cancelTransfers(pump);
    doneChanged_.wait_for(lock, kCancelInterval);
  }
}

bool RelayPumps::readFrom(const Pump& pump) {
  const Transfer read = readSome(pump.input, pump.buffer.data(), static_cast<uint32_t>(pump.buffer.size()));
  pump.count = read.ok ? read.count : 0;
  if (!read.ok) {
    readFailed(pump, read.error);
    return false;
  }
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1 bytes: %2", pump.inputName, pump.count);
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1, size: %2, data: %3", pump.inputName, pump.count,
                formatData(pump.buffer.data(), pump.count));
  // A browser closes the port on such a message without saying why.
  const uint32_t oversized = pump.output == Channel::kStdout ? toBrowser_.follow(pump.buffer.data(), pump.count) : 0;
  if (oversized != 0) COMPANION_LOG(LoggerLevel::Warning, kOversizedMessageFormat, oversized, kBrowserMessageLimit);
  return true;
}

void RelayPumps::readFailed(const Pump& pump, uint32_t error) {
  COMPANION_LOG(LoggerLevel::Error, "Read from %1, error %2", pump.inputName, error);
}

// Writes the bytes of the last read, completing short writes.
ReturnCode RelayPumps::writeTo(const Pump& pump) {
  const uint32_t count = pump.count;
  if (count == 0) return kCodeSuccess;
  COMPANION_LOG(LoggerLevel::Debug, "Write to %1, size: %2, data: %3", pump.outputName, count,
                formatData(pump.buffer.data(), count));
  const bool toAgent = pump.output == Channel::kSocketOut;
  for (uint32_t total = 0; total < count;) {
    const uint8_t* rest = pump.buffer.data() + total;
    const Transfer written =
        toAgent ? writeToAgent(rest, count - total, agentStall_) : writeSome(pump.output, rest, count - total);
    if (!written.ok && toAgent && agentStall_.gaveUp()) {
      // The end of standard input, which the pump could not reach.
      readFailed(pump, written.error);
      return kCodeReadFailed;
    }
    if (!written.ok) {
      COMPANION_LOG(LoggerLevel::Error, "Write to %1, error: %2", pump.outputName, written.error);
      return pump.writeFailedCode;
    }
    COMPANION_LOG(LoggerLevel::Debug, "Write to %1 bytes: %2", pump.outputName, written.count);
    if (toAgent) agentStall_.progressed();
    total += written.count;
  }
  pump.count = 0;
  return kCodeSuccess;
}

}  // namespace companion
