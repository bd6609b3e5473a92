// The relay pumps, their transfers' records and the stop hand-shake.
#include "relay_pumps.h"

#include <chrono>
#include <thread>

#include "logger.h"
#include "return_codes.h"

namespace companion {
namespace {

// Pause between two passes that cancel the other pump's transfers.
constexpr std::chrono::milliseconds kCancelInterval(5);
// A browser that closes both its pipes ends the relay through standard input
// within this time; the hang-up watch acts only when that does not happen.
constexpr std::chrono::milliseconds kHangUpGrace(50);
// The longest the agent's last reply may take to reach a browser that reads
// it slowly; the relay stops after it in any case.
constexpr std::chrono::seconds kDrainLimit(2);

}  // namespace

RelayPumps::RelayPumps(const RelayState& state)
    : socketPump_{"socket",           Channel::kSocketIn, "socketIn", Channel::kStdout,
                  "stdout",           state.socketBuffer, state.socketCount,
                  kCodeStdoutWriteFailed, state.socketResult, state.socketDone, socketStarted_},
      stdPump_{"std",           Channel::kStdin, "stdin",   Channel::kSocketOut,
               "socketOut",     state.stdBuffer, state.stdCount,
               kCodeSocketWriteFailed, state.stdResult, state.stdDone, stdStarted_},
      stopRequested_(state.stopRequested) {}

int32_t RelayPumps::relay() {
  std::thread watch(&RelayPumps::watchBrowser, this);
  std::thread socketThread(&RelayPumps::runSocket, this);
  runStd();
  socketThread.join();
  endBrowserWatch();
  watch.join();
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
  int32_t code = kCodeSuccess;
  while (!stopRequested_) {
    COMPANION_LOG(LoggerLevel::Debug, "Start read from %1", self.inputName);
    code = readFrom(self) ? kCodeSuccess : kCodeReadFailed;
    COMPANION_LOG(LoggerLevel::Debug, "Stop read from %1", self.inputName);
    // Bytes read after the other pump has ended are dropped.
    if (code != kCodeSuccess || stopRequested_) break;
    COMPANION_LOG(LoggerLevel::Debug, "Start write to %1", self.outputName);
    code = writeTo(self) ? kCodeSuccess : self.writeFailedCode;
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

// The browser may vanish while both pumps wait on the agent (one writing to
// it, one reading from it), and neither would notice. Its hang-up then ends
// the relay as a failed write to standard output would.
void RelayPumps::watchBrowser() {
  const uint32_t error = waitForBrowserHangUp();
  if (error == 0) return;
  std::unique_lock<std::mutex> lock(doneMutex_);
  if (doneChanged_.wait_for(lock, kHangUpGrace, [&] { return stopRequested_ || socketPump_.done; })) return;
  const bool first = socketPump_.result == kCodeSuccess && stdPump_.result == kCodeSuccess;
  if (first) socketPump_.result = socketPump_.writeFailedCode;
  stopRequested_ = true;
  lock.unlock();
  if (first) COMPANION_LOG(LoggerLevel::Error, "Write to %1, error: %2", socketPump_.outputName, error);
  lock.lock();
  cancelUntilDone(socketPump_, lock);
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
    COMPANION_LOG(LoggerLevel::Error, "Read from %1, error %2", pump.inputName, read.error);
    return false;
  }
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1 bytes: %2", pump.inputName, pump.count);
  COMPANION_LOG(LoggerLevel::Debug, "Read from %1, size: %2, data: %3", pump.inputName, pump.count,
                formatData(pump.buffer.data(), pump.count));
  return true;
}

// Writes the bytes of the last read, completing short writes.
bool RelayPumps::writeTo(const Pump& pump) {
  const uint32_t count = pump.count;
  if (count == 0) return true;
  COMPANION_LOG(LoggerLevel::Debug, "Write to %1, size: %2, data: %3", pump.outputName, count,
                formatData(pump.buffer.data(), count));
  for (uint32_t total = 0; total < count;) {
    const Transfer written = writeSome(pump.output, pump.buffer.data() + total, count - total);
    if (!written.ok) {
      COMPANION_LOG(LoggerLevel::Error, "Write to %1, error: %2", pump.outputName, written.error);
      return false;
    }
    COMPANION_LOG(LoggerLevel::Debug, "Write to %1 bytes: %2", pump.outputName, written.count);
    total += written.count;
  }
  pump.count = 0;
  return true;
}

}  // namespace companion
