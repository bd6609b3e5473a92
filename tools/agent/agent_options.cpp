// Parses the example agent's command line and derives the rendezvous path the companion looks for.
#include "agent_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_paths.h"
#include "suffix.h"

namespace companion_agent {
namespace {

constexpr char kUsage[] =
    "Usage: companion-agent [options]\n"
    "Serves the companion's rendezvous socket of the current user and echoes.\n"
    "  --suffix TEXT          serve a companion whose companion.suffix holds TEXT\n"
    "  --socket PATH          serve PATH instead of the rendezvous path\n"
    "  --swallow              drop what the companion sends instead of echoing\n"
    "  --no-read              never read what the companion sends, as a stuck agent\n"
    "  --send N               send N pattern bytes (byte i is i mod 251) to each companion\n"
    "  --send-frame N         answer each companion's first bytes with one message of N\n"
    "                         bytes (N >= 2, a JSON string) after its length in 4 bytes,\n"
    "                         as a browser reads it, then echo\n"
    "  --close-read-after N   close the connection the companion reads after N bytes out\n"
    "  --close-write-after N  close the connection the companion writes after N bytes in\n"
    "  --hang-up-after N      close both connections once N bytes went out\n"
    "  --refuse-second        close each companion's second connection at once\n"
    "  --first-only           stop listening after the first connection\n"
    "  --busy                 keep the listen backlog full and never accept\n"
    "  --sessions N           exit after N companions have gone\n"
    "  --read-every MS        read once every MS milliseconds, a slow agent\n"
    "  --read-size N          read at most N bytes at a time with --read-every (4096)\n"
    "  --slow-for MS          read slowly only for MS after a companion's first read\n"
    "  --single               serve one-connection clients (socat, a direct client):\n"
    "                         each connection is read and written on its own\n"
    "Prints \"ready PATH\" once listening and \"session PID in N out M\" when a\n"
    "companion has gone. SIGTERM or SIGINT stops it and removes the socket.\n";

std::optional<uint64_t> parseCount(const char* text) {
  if (*text < '0' || *text > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

// Where the companion looks for this user and suffix, as its platform layer
// and the core's rendezvous rule make it.
std::string rendezvousPath(const std::string& suffixText) {
  return companion::userRendezvousPath(companion::socketSuffixFor(companion::cleanSuffix(suffixText)));
}

}  // namespace

std::optional<Options> parseOptions(int argc, char* argv[]) {
  Options options;
  std::optional<std::string> suffix;
  bool ok = true;
  for (int i = 1; i < argc && ok; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto count = [&](std::optional<uint64_t>& into) {
      into = value ? parseCount(value) : std::nullopt;
      ++i;
      ok = into.has_value();
    };
    std::optional<uint64_t> number;
    if (arg == "--suffix" && value) {
      suffix = value;
      ++i;
    } else if (arg == "--socket" && value) {
      options.socketPath = value;
      ++i;
    } else if (arg == "--swallow") {
      options.swallow = true;
    } else if (arg == "--no-read") {
      options.noRead = true;
    } else if (arg == "--send") {
      count(number);
      options.sendBytes = number.value_or(0);
    } else if (arg == "--send-frame") {
      count(number);
      ok = ok && *number >= 2 && *number <= UINT32_MAX;
      if (ok) options.frameBytes = static_cast<uint32_t>(*number);
    } else if (arg == "--close-read-after") {
      count(options.closeReadAfter);
    } else if (arg == "--close-write-after") {
      count(options.closeWriteAfter);
    } else if (arg == "--hang-up-after") {
      count(options.hangUpAfter);
    } else if (arg == "--refuse-second") {
      options.refuseSecond = true;
    } else if (arg == "--first-only") {
      options.firstOnly = true;
    } else if (arg == "--busy") {
      options.busy = true;
    } else if (arg == "--single") {
      options.single = true;
    } else if (arg == "--sessions") {
      count(options.sessions);
    } else if (arg == "--read-every") {
      count(options.readEveryMs);
    } else if (arg == "--read-size") {
      count(number);
      ok = ok && *number > 0;
      if (ok) options.readSize = *number;
    } else if (arg == "--slow-for") {
      count(options.slowForMs);
    } else {
      ok = false;
    }
  }
  if (!ok || (suffix && !options.socketPath.empty())) {
    std::fputs(kUsage, stderr);
    return std::nullopt;
  }
  if (options.socketPath.empty()) options.socketPath = rendezvousPath(suffix.value_or(""));
  return options;
}

}  // namespace companion_agent
