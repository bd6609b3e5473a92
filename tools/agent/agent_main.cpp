// companion-agent: an example desktop agent that serves the companion's rendezvous socket.
#include <signal.h>

#include "agent_options.h"
#include "agent_server.h"

namespace {

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

}  // namespace

int main(int argc, char* argv[]) {
  const std::optional<companion_agent::Options> options = companion_agent::parseOptions(argc, argv);
  if (!options) return 2;
  // A companion that goes away mid-write must not take the agent with it.
  ::signal(SIGPIPE, SIG_IGN);

  // The stop signals stay blocked except inside ppoll, so one that arrives
  // between two polls is not lost.
  sigset_t stopSet;
  sigemptyset(&stopSet);
  sigaddset(&stopSet, SIGINT);
  sigaddset(&stopSet, SIGTERM);
  sigset_t waitMask;
  ::sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  companion_agent::Server server(*options);
  if (!server.listen()) return 1;
  server.serve(stopSignal, waitMask);
  return 0;
}
