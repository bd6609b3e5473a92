// companion-bench: measures the companion, socat and a direct connection against the same agent, prints one table and writes an SVG chart.
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

#include "measure.h"
#include "relay.h"
#include "report.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace companion_bench;

constexpr char kUsage[] =
    "Usage: companion-bench --companion PATH --agent PATH --socat PATH --svg PATH [--wine FILE]\n"
    "Measures the companion (debug logging off and on), socat and a direct\n"
    "connection against the example agent, prints one table and writes it as\n"
    "an SVG bar chart. FILE holds the figures of the Windows bench under Wine.\n";

constexpr size_t kThroughputBytes = size_t{256} << 20;
// Debug logging writes every chunk to the log, escaped, twice; a smaller
// volume keeps the run short and still covers thousands of chunks.
constexpr size_t kDebugThroughputBytes = size_t{32} << 20;

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
  const companion_test::TempDir dir("companion-bench");
  const Site site{options.at("--agent"),
                  environmentWith({"XDG_RUNTIME_DIR=" + (dir.path() / "run").string(),
                                   "XDG_STATE_HOME=" + (dir.path() / "state").string()}),
                  (dir.path() / "single.sock").string()};
  const Relay companion{"companion", {options.at("--companion")}, false, kThroughputBytes};
  const Relay debugOn{"companion, debug on", {debugCopy(options.at("--companion"), dir.path() / "debug")}, false,
                      kDebugThroughputBytes};
  const Relay socat{
      "socat", {options.at("--socat"), "-b", "4096", "STDIO", "UNIX-CONNECT:" + site.singleSocket}, true,
      kThroughputBytes};
  const Relay direct{"direct", {}, true, kThroughputBytes};

  std::vector<RelayBench> benches;
  for (const Relay* relay : {&companion, &debugOn, &socat, &direct}) benches.emplace_back(site, *relay);
  for (int round = 0; round < kRounds; ++round) {
    std::cerr << "round " << round + 1 << " of " << kRounds << std::endl;
    for (RelayBench& bench : benches) bench.runRound(round);
  }
  Results results{benches[0].figures(), benches[1].figures(), benches[2].figures(), benches[3].figures(), {}};
  const auto wine = options.find("--wine");
  results.wine = readWineFigures(wine == options.end() ? "" : wine->second);
  printTable(std::cout, results);
  std::cout << "c = companion, d = companion with debug logging on. Each way " << (kThroughputBytes >> 20)
            << " MiB (debug on: " << (kDebugThroughputBytes >> 20) << " MiB), " << kRoundTrips
            << " round trips of 64 bytes, " << kRounds * kStartsPerRound << " starts, idle " << kIdleSeconds
            << " s; Wine: companion.exe / direct pipe.\n";
  writeChart(options.at("--svg"), results);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  static const std::set<std::string> kRequired{"--companion", "--agent", "--socat", "--svg"};
  std::map<std::string, std::string> options;
  bool known = argc % 2 == 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    known = known && (kRequired.count(argv[i]) > 0 || std::string(argv[i]) == "--wine");
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
