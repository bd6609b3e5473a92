// CompanionWindows: the companion's platform operations on the Windows API.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "companion_shared.h"
#include "relay_pumps.h"

namespace companion {

class CompanionWindows : public CompanionShared, private RelayPumps {
 public:
  CompanionWindows();
  ~CompanionWindows() override = default;

  int32_t runLoop() override;
  int32_t connectSocket() override;
  int32_t connectStd() override;
  void closeAll() override;
  uint32_t getProcessId() override;
  std::string getPlatformName() override;

 private:
  // A Windows HANDLE; spelled out so that this header needs no windows.h.
  using Handle = void*;

  int32_t checkServer();
  bool takeStdHandle(std::atomic<Handle>& field, uint32_t selector, const char* name);
  std::atomic<Handle>& handleOf(Channel channel);
  bool browserInputGone();
  Transfer readSome(Channel channel, uint8_t* data, uint32_t size) override;
  Transfer writeSome(Channel channel, const uint8_t* data, uint32_t size) override;
  Transfer writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) override;
  void cancelTransfers(const Pump& pump) override;
  void cancelRead(const Pump& pump) override;

  // Shared by both pumps; null while a channel is not open.
  std::atomic<Handle> socketInHandle{nullptr};
  std::atomic<Handle> socketOutHandle{nullptr};
  std::atomic<Handle> stdinHandle{nullptr};
  std::atomic<Handle> stdoutHandle{nullptr};
  std::atomic<int32_t> socketResult{0};
  std::atomic<int32_t> stdResult{0};
  std::atomic<bool> socketDone{false};
  std::atomic<bool> stdDone{false};
  std::atomic<bool> stopRequested{false};
  // Signalled when the write to the agent completes; set during the relay.
  Handle agentWritten = nullptr;
};

}  // namespace companion
