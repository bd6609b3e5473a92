// RelayPumps: the relay written once for every platform. Two pumps, one per
// direction, each reading a chunk and writing all of it; the code of the
// direction that ended first; the stop hand-shake, in which the pump that
// ends cancels the other's transfers every 5 ms until that one is done; the
// drain of the agent's last reply when the agent stops taking bytes; and the
// end of a browser that left while the agent takes nothing. A platform
// supplies only the transfers and their cancellation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "frame_lengths.h"
#include "return_codes.h"

namespace companion {

// The four byte channels of a relay.
enum class Channel { kSocketIn, kSocketOut, kStdin, kStdout };

// The outcome of one read or write: the bytes moved, or the platform's error
// number. A read that moved no bytes and succeeded is a message of zero bytes.
struct Transfer {
  bool ok;
  uint32_t count;
  uint32_t error;
};

// The one end the pumps cannot see by themselves: the browser has closed its
// end of standard input while the pump of that direction waits in a write to
// an agent that takes nothing, so it never reads that end. The platform's
// write to the agent looks for it while it waits. From then on the agent has
// kGrace, counted from the later of the browser's leaving and the last write
// that moved bytes, before the write gives up and the run ends as at the end
// of standard input. A sender sees the agent's progress only once it has
// made room for what is queued (a queued chunk frees its room when it is read
// whole), so the promise is: an agent that makes room for one chunk within
// every kGrace gets everything the browser sent. Used by that pump alone.
class AgentStall {
 public:
  static constexpr std::chrono::seconds kGrace{1};
  // Once the browser has left, the write tries again at least this often:
  // not every platform wakes a waiting writer for each chunk the agent reads.
  static constexpr std::chrono::milliseconds kRetry{50};

  bool browserGone() const { return since_.has_value(); }
  // The browser's end of standard input is gone.
  void browserLeft() { since_ = Clock::now(); }
  // The agent took bytes.
  void progressed() {
    if (since_) since_ = Clock::now();
  }
  // How long a waiting write may wait before it looks again: lookMs while
  // the browser is there; once it has left, kRetry, and never past the end
  // of the agent's grace, when the write tries once more before giving up.
  int waitMs(int lookMs) const;
  bool expired() const { return since_ && Clock::now() - *since_ >= kGrace; }
  // The write gives up: the failure of a read of the ended standard input,
  // with the error number such a read gets.
  Transfer giveUp(uint32_t endOfInputError) {
    gaveUp_ = true;
    return {false, 0, endOfInputError};
  }
  bool gaveUp() const { return gaveUp_; }

 private:
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> since_;
  bool gaveUp_ = false;
};

// What the two pumps share; the companion object owns all of it.
struct RelayState {
  std::vector<uint8_t>& stdBuffer;
  uint32_t& stdCount;
  std::vector<uint8_t>& socketBuffer;
  uint32_t& socketCount;
  std::atomic<int32_t>& socketResult;
  std::atomic<int32_t>& stdResult;
  std::atomic<bool>& socketDone;
  std::atomic<bool>& stdDone;
  std::atomic<bool>& stopRequested;
};

class RelayPumps {
 public:
  // One direction: where it reads and writes, its buffer, the code a failed
  // write ends it with, and where it records its code and its end.
  struct Pump {
    const char* name;  // of the pump, in its own messages
    Channel input;
    const char* inputName;
    Channel output;
    const char* outputName;
    std::vector<uint8_t>& buffer;
    uint32_t& count;
    ReturnCode writeFailedCode;
    std::atomic<int32_t>& result;
    std::atomic<bool>& done;
    bool& started;  // guarded by the pumps' mutex
  };

  explicit RelayPumps(const RelayState& state);
  RelayPumps(const RelayPumps&) = delete;
  RelayPumps& operator=(const RelayPumps&) = delete;
  virtual ~RelayPumps() = default;

 protected:
  // Runs runSocket on a second thread and runStd on this one; the code of the
  // direction that ended first.
  int32_t relay();
  // The agent's channel to standard output.
  void runSocket();
  // Standard input to the agent's channel.
  void runStd();
  bool stopping() const { return stopRequested_; }
  // The agent stopped taking bytes: reads still deliver what has arrived,
  // but must not wait for more.
  bool draining() const { return draining_; }

  // One read of at most size bytes.
  virtual Transfer readSome(Channel channel, uint8_t* data, uint32_t size) = 0;
  // One write of at most size bytes; the pump repeats it until all are out.
  virtual Transfer writeSome(Channel channel, const uint8_t* data, uint32_t size) = 0;
  // The same to the agent, and only while no read of standard input is
  // pending: a write that waits looks whether the browser's end of standard
  // input is gone, and once it is, gives up (stall.giveUp) when
  // stall.expired().
  virtual Transfer writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) = 0;
  // Makes the pump's blocked transfer fail soon. Called, under the pumps'
  // mutex, only for a pump that has started, every 5 ms until it is done: a
  // cancellation that comes just before the pump's next transfer is lost.
  virtual void cancelTransfers(const Pump& pump) = 0;
  // The same for the pump's read alone; a platform that cannot tell the two
  // apart cancels both, and its writes go on unless the relay is stopping.
  virtual void cancelRead(const Pump& pump) { cancelTransfers(pump); }
  // Called on the pump's own thread, under the pumps' mutex, before its first
  // transfer.
  virtual void pumpStarting(const Pump& /*pump*/) {}

 private:
  void pump(const Pump& self, const Pump& other);
  bool readFrom(const Pump& pump);
  void readFailed(const Pump& pump, uint32_t error);
  // kCodeSuccess, the pump's write failure code, or kCodeReadFailed for a
  // browser that left while the agent took nothing.
  ReturnCode writeTo(const Pump& pump);
  void stopOther(const Pump& other);
  void drainOther(const Pump& other);
  // Cancels the pump every 5 ms until it is done; the lock is held.
  void cancelUntilDone(const Pump& pump, std::unique_lock<std::mutex>& lock);

  bool socketStarted_ = false;
  bool stdStarted_ = false;
  const Pump socketPump_;
  const Pump stdPump_;
  std::atomic<bool>& stopRequested_;
  std::atomic<bool> draining_{false};
  AgentStall agentStall_;
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  OversizedMessageWatch toBrowser_;  // the socket pump's alone
};

}  // namespace companion
