// companion-bench: measures the companion, socat, a direct connection and a peer host against the same agent, prints the tables and writes an SVG chart.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "framed.h"
#include "measure.h"
#include "relay.h"
#include "report.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace companion_bench;

constexpr char kUsage[] =
    "Usage: companion-bench --companion PATH --agent PATH --socat PATH --svg PATH [--wine FILE] [--peer PATH]\n"
    "Measures the companion (debug logging off and on), socat and a direct\n"
    "connection against the example agent, then the companion, socat and the\n"
    "peer host keepassxc-proxy at PATH with framed messages; prints the tables\n"
    "and writes them as an SVG bar chart. FILE holds the figures of the Windows\n"
    "bench under Wine.\n";

constexpr size_t kThroughputBytes = size_t{256} << 20;
// Debug logging writes every chunk to the log, escaped, twice; a smaller
// volume keeps the run short and still covers thousands of chunks.
constexpr size_t kDebugThroughputBytes = size_t{32} << 20;

// The framed part: the same as the other measurements for the relays, and
// far less for keepassxc-proxy, which waits 100 ms after each message.
constexpr FramedCounts kFramedCounts{2000, 1024, 40};
constexpr FramedCounts kPeerCounts{20, 16, 8};
constexpr char kPeerName[] = "keepassxc-proxy";
// Where keepassxc-proxy connects to its application, under XDG_RUNTIME_DIR.
constexpr char kPeerSocket[] = "app/org.keepassxc.KeePassXC/org.keepassxc.KeePassXC.BrowserServer";

std::string countsText(const FramedCounts& counts) {
  return std::to_string(counts.roundTrips) + " round trips, " + std::to_string(counts.echoMessages) +
         " messages of 64 KiB, " + std::to_string(counts.starts) + " starts";
}

// Debug logging is on for a companion with a companion.debug file beside it.
std::string debugCopy(const std::string& companion, const fs::path& dir) {
  fs::create_directory(dir);
  const fs::path copy = dir / "companion";
  fs::copy_file(companion, copy);
  const std::ofstream marker(dir / "companion.debug");
  return copy.string();
}

int run(const std::map<std::string, std::string>& options) {
  ::signal(SIGPIPE, SIG_IGN);
  // The agent's socket, the companion's log and the debug-on copy of the companion.
  const companion_support::TempDir dir("companion-bench");
  const fs::path runtime = dir.path() / "run";
  const Site site{options.at("--agent"), environmentWith({"XDG_RUNTIME_DIR=" + runtime.string(),
                                                          "XDG_STATE_HOME=" + (dir.path() / "state").string()})};
  const std::string single = (dir.path() / "single.sock").string();
  const Relay companion{"companion", {options.at("--companion")}, "", kThroughputBytes};
  const Relay debugOn{"companion, debug on", {debugCopy(options.at("--companion"), dir.path() / "debug")}, "",
                      kDebugThroughputBytes};
  const Relay socat{"socat", {options.at("--socat"), "-b", "4096", "STDIO", "UNIX-CONNECT:" + single}, single,
                    kThroughputBytes};
  const Relay direct{"direct", {}, single, kThroughputBytes};
  const Relay socatDefault{"socat", {options.at("--socat"), "STDIO", "UNIX-CONNECT:" + single}, single, 0};
  const auto peerOption = options.find("--peer");
  const Relay peer{kPeerName, {peerOption == options.end() ? "" : peerOption->second}, (runtime / kPeerSocket).string(),
                   0};

  std::vector<RelayBench> benches;
  for (const Relay* relay : {&companion, &debugOn, &socat, &direct}) benches.emplace_back(site, *relay);
  std::vector<FramedBench> framed{{site, companion, kFramedCounts}, {site, socatDefault, kFramedCounts}};
  if (peerOption != options.end()) framed.emplace_back(site, peer, kPeerCounts);
  for (int round = 0; round < kRounds; ++round) {
    std::cerr << "round " << round + 1 << " of " << kRounds << std::endl;
    for (RelayBench& bench : benches) bench.runRound(round);
    for (FramedBench& bench : framed) bench.runRound();
  }
  Results results{benches[0].figures(), benches[1].figures(), benches[2].figures(), benches[3].figures(), {}, {}};
  results.framed = {framed[0].figures(), framed[1].figures(), framed.size() > 2 ? framed[2].figures() : FramedFigures{},
                    kPeerName,
                    "companion and socat (default buffer): " + countsText(kFramedCounts) + " each; " + kPeerName +
                        ": " + (framed.size() > 2 ? countsText(kPeerCounts) + ", fewer as it waits 100 ms after each message"
                                                  : "not run (no --peer)")};
  const auto wine = options.find("--wine");
  results.wine = readWineFigures(wine == options.end() ? "" : wine->second);
  printTable(std::cout, results);
  std::cout << "c = companion, d = companion with debug logging on. Each way " << (kThroughputBytes >> 20)
            << " MiB (debug on: " << (kDebugThroughputBytes >> 20) << " MiB), " << kRoundTrips
            << " round trips of 64 bytes, " << kRounds * kStartsPerRound << " starts, idle " << kIdleSeconds
            << " s; Wine: companion.exe / direct pipe.\n"
            << "Framed: round trips of 100-byte JSON messages, echo of 64 KiB ones written while their echoes are "
               "read; "
            << results.framed.counts << ".\n";
  writeChart(options.at("--svg"), results);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  static const std::set<std::string> kRequired{"--companion", "--agent", "--socat", "--svg"};
  std::map<std::string, std::string> options;
  bool known = argc % 2 == 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    known = known && (kRequired.count(argv[i]) > 0 || std::string(argv[i]) == "--wine" ||
                      std::string(argv[i]) == "--peer");
    options[argv[i]] = argv[i + 1];
  }
  const bool complete = std::all_of(kRequired.begin(), kRequired.end(), [&](const std::string& name) {
    return options.count(name) > 0;
  });
  if (!known || !complete) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    return run(options);
  } catch (const std::exception& error) {
    std::cerr << "companion-bench: " << error.what() << std::endl;
    return 1;
  }
}
