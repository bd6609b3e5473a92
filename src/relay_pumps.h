// RelayPumps: the relay written once for every platform. Two pumps, one per
// direction, each reading a chunk and writing all of it; the code of the
// direction that ended first; the stop hand-shake, in which the pump that
// ends cancels the other's transfers every 5 ms until that one is done; the
// drain of the agent's last reply when the agent stops taking bytes; and a
// watch that ends the relay when the browser hangs up. A platform supplies
// only the transfers, their cancellation and the hang-up wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

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
    int32_t writeFailedCode;
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
  // Makes the pump's blocked transfer fail soon. Called, under the pumps'
  // mutex, only for a pump that has started, every 5 ms until it is done: a
  // cancellation that comes just before the pump's next transfer is lost.
  virtual void cancelTransfers(const Pump& pump) = 0;
  // The same for the pump's read alone; a platform that cannot tell the two
  // apart cancels both, and its writes go on unless the relay is stopping.
  virtual void cancelRead(const Pump& pump) { cancelTransfers(pump); }
  // Blocks until the browser has hung up (the reader of standard output is
  // gone), giving the error a write would get then, or until endBrowserWatch;
  // 0 then, and at once where the platform cannot tell.
  virtual uint32_t waitForBrowserHangUp() { return 0; }
  virtual void endBrowserWatch() {}
  // Called on the pump's own thread, under the pumps' mutex, before its first
  // transfer.
  virtual void pumpStarting(const Pump& /*pump*/) {}

 private:
  void pump(const Pump& self, const Pump& other);
  bool readFrom(const Pump& pump);
  bool writeTo(const Pump& pump);
  void stopOther(const Pump& other);
  void drainOther(const Pump& other);
  void watchBrowser();
  // Cancels the pump every 5 ms until it is done; the lock is held.
  void cancelUntilDone(const Pump& pump, std::unique_lock<std::mutex>& lock);

  bool socketStarted_ = false;
  bool stdStarted_ = false;
  const Pump socketPump_;
  const Pump stdPump_;
  std::atomic<bool>& stopRequested_;
  std::atomic<bool> draining_{false};
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
};

}  // namespace companion
