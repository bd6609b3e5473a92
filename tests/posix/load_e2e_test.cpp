// Load and faults: many companions in turn and at once on one agent and one log, peers that fail mid-transfer, unusable logs, a huge suffix file, rotation under a holder.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "byte_pattern.h"
#include "harness.h"

namespace companion_e2e {
namespace {

namespace fs = std::filesystem;

constexpr size_t kKiB = 1 << 10;
constexpr size_t kMiB = 1 << 20;

class LoadTest : public CompanionTest {
 protected:
  // The log holds one start (an empty line) and one whole run for each pid,
  // and nothing of anyone else: leaving debug records aside, every run has
  // the start-up records in order first, the browser's close of stdin, and
  // the records of the end last.
  void expectWholeRuns(const Log& log, const std::vector<pid_t>& pids) {
    const std::vector<std::string> head = runHeadMessages();
    const std::vector<std::string>& tail = kRunTailMessages;
    EXPECT_EQ(static_cast<size_t>(std::count(log.lines.begin(), log.lines.end(), "")), pids.size());
    std::map<long, std::vector<std::string>> runs;
    for (const Record& record : log.records) {
      if (record.tag != "[DEBUG]   ") runs[record.processId].push_back(record.message);
    }
    EXPECT_EQ(runs.size(), pids.size()) << "records of other processes";
    for (pid_t pid : pids) {
      const std::vector<std::string>& run = runs[pid];
      const bool whole = run.size() > head.size() + tail.size() && std::equal(head.begin(), head.end(), run.begin()) &&
                         std::equal(tail.rbegin(), tail.rend(), run.rbegin()) &&
                         std::find(run.begin(), run.end(), "Read from stdin, error 32") != run.end();
      EXPECT_TRUE(whole) << "run of " << pid << ": " << testing::PrintToString(run);
    }
  }
};

TEST_F(LoadTest, ManyCompanionsInTurnAndAtOnceRelayEveryByteIntoOneLog) {
  const struct {
    const char* name;
    size_t rounds;
    size_t companionsPerRound;
    size_t size;
    bool debug;
  } cases[] = {
      {"200 one after another", 200, 1, 64 * kKiB, false},
      {"20 at once", 1, 20, kMiB, false},
      // Debug records show the relayed data: long lines, many of them.
      {"20 at once with debug records", 1, 20, 16 * kKiB, true},
  };
  // A copy beside a debug marker, which the built one must not get.
  const std::string debugBin = root() + "/bin";
  fs::create_directory(debugBin);
  fs::copy_file(COMPANION_PATH, debugBin + "/companion");
  writeFile(debugBin + "/companion.debug", "");
  startAgent();
  uint32_t stream = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(stateDir());
    std::vector<pid_t> pids;
    for (size_t round = 0; round < c.rounds && !HasFailure(); ++round) {
      const std::vector<pid_t> started =
          relayAtOnce(c.companionsPerRound, c.size, stream, c.debug ? debugBin + "/companion" : COMPANION_PATH);
      stream += static_cast<uint32_t>(c.companionsPerRound);
      pids.insert(pids.end(), started.begin(), started.end());
    }
    // Each line is one append, so lines of processes writing at once never
    // mix, and parseLog rejects any torn one.
    expectWholeRuns(parseLog(readFile(logPath())), pids);
  }
}

TEST_F(LoadTest, PeerThatFailsMidTransferEndsTheRunWithoutHanging) {
  enum class Fault { KillAgent, CloseOutput };
  const struct {
    const char* name;
    Fault fault;
    int code;
    std::string record;
  } cases[] = {
      // The companion never writes to the connection it reads, so the dead
      // agent leaves it a plain end of stream. The browser sends nothing: a
      // write to the dead agent would fail as well (249), and either may come
      // first.
      {"the agent is killed", Fault::KillAgent, 246, "Read from socketIn, error 32"},
      {"the browser closes stdout", Fault::CloseOutput, 247, "Write to stdout, error: 32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(stateDir());
    startAgent({"--send", "1000000000"});
    Process companion = startCompanion();
    // A mebibyte in, the transfer is under way.
    std::string received = readExactly(companion, kMiB);
    if (c.fault == Fault::KillAgent) {
      killAgent();
      received += readToEnd(companion);
    } else {
      companion.closeOutput();
    }
    EXPECT_TRUE(received == patternStream(received.size())) << "the relayed stream was changed";
    EXPECT_EQ(companion.wait(), c.code);
    stopAgent();

    const Log log = parseLog(readFile(logPath()));
    EXPECT_TRUE(log.has(c.record)) << testing::PrintToString(log.messages());
    EXPECT_TRUE(log.has("Return code: " + std::to_string(c.code)));
    EXPECT_EQ(log.messages().back(), "Logger stoped");
  }
}

TEST_F(LoadTest, RelayWorksWithoutAUsableLog) {
  const struct {
    const char* name;
    std::string stateHome;
    bool logIsDirectory;
  } cases[] = {
      {"the log directory cannot be created", root() + "/file/state", false},
      {"the log file cannot be opened", stateDir(), true},
  };
  writeFile(root() + "/file", "");
  startAgent();
  uint32_t stream = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env["XDG_STATE_HOME"] = c.stateHome;
    if (c.logIsDirectory) fs::create_directories(logPath());
    const std::string data = patternBytes(256 * kKiB, stream++);
    Process companion = startCompanion();
    EXPECT_TRUE(echo(companion, data) == data);
    companion.closeInput();
    EXPECT_EQ(companion.wait(), 246);
    EXPECT_EQ(agentLine(), sessionLine(companion.pid(), data.size(), data.size()));
    // What stood in the log's way is left as it was.
    EXPECT_TRUE(fs::is_empty(c.logIsDirectory ? logPath() : root() + "/file"));
  }
}

TEST_F(LoadTest, HugeSuffixFileWithoutALineBreakKeepsStartUpBounded) {
  const struct {
    const char* name;
    std::string head;
    size_t fillerMiB;
    char filler;
    std::string tail;
    int code;
    // Only a short suffix leaves a log: a long one makes a directory name
    // that no file system takes.
    std::string logSuffix;
  } cases[] = {
      // The measure for the others.
      {"a short name in a small file", "beta", 0, '\0', "", 246, ".beta"},
      // Taken whole, the suffix would end in "tail"; the agent serves "-beta".
      {"a short name, then 100 MiB that a suffix drops", "beta", 100, '\0', "tail", 246, ".beta"},
      // Taken whole or cut, the name is far too long for the agent's socket.
      {"100 MiB of one printable line", "", 100, 'x', "", 242, ""},
  };
  const std::string bin = root() + "/bin";
  fs::create_directory(bin);
  fs::copy_file(COMPANION_PATH, bin + "/companion");
  startAgent({"--suffix", "beta"});
  long smallFilePeakKiB = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      // A mebibyte at a time, so that the test itself stays small.
      std::ofstream suffix(bin + "/companion.suffix", std::ios::binary);
      const std::string chunk(kMiB, c.filler);
      suffix << c.head;
      for (size_t i = 0; i < c.fillerMiB; ++i) suffix << chunk;
      suffix << c.tail;
    }
    fs::remove_all(stateDir());
    Launch launch;
    launch.program = bin + "/companion";
    const auto started = std::chrono::steady_clock::now();
    Process companion = startCompanion(launch);
    if (c.code == 246) {
      EXPECT_EQ(echo(companion, "ping"), "ping");
      companion.closeInput();
    }
    rusage usage = {};
    EXPECT_EQ(companion.wait(&usage), c.code);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 10000) << "ms from start to exit";
    fs::remove(bin + "/companion.suffix");
    // The child's peak counts what the test held when it forked, so it is
    // measured against the same run with a small file.
    if (smallFilePeakKiB == 0) smallFilePeakKiB = usage.ru_maxrss;
    EXPECT_LT(usage.ru_maxrss, smallFilePeakKiB + 16 * 1024) << "peak resident KiB";
    if (c.code == 246) {
      EXPECT_EQ(agentLine(), sessionLine(companion.pid(), 4, 4));
      EXPECT_TRUE(parseLog(readFile(logPath(c.logSuffix))).has("Suffix for log: '" + c.logSuffix + "'"));
    }
  }
}

TEST_F(LoadTest, RotationUnderACompanionHoldingTheLogLosesNothing) {
  startAgent();
  Process holder = startCompanion();
  // Relaying, so its start-up records are in the log.
  EXPECT_EQ(echo(holder, "before"), "before");
  // Past the threshold: the next start rotates.
  const std::string padding = std::string(10 * kMiB, 'x') + "\n";
  std::ofstream(logPath(), std::ios::binary | std::ios::app) << padding;

  Process rotator = startCompanion();
  EXPECT_EQ(echo(rotator, "after"), "after");
  rotator.closeInput();
  EXPECT_EQ(rotator.wait(), 246);
  EXPECT_EQ(echo(holder, "still"), "still");
  holder.closeInput();
  EXPECT_EQ(holder.wait(), 246);

  expectWholeRuns(parseLog(readFile(logPath())), {rotator.pid()});
  // The holder went on writing into the file it had opened, which is the
  // rotated one now; without the padding that is one whole run.
  std::string rotated = readFile(logPath() + ".1");
  const size_t at = rotated.find(padding);
  ASSERT_NE(at, std::string::npos) << "the padding is not in the rotated log";
  expectWholeRuns(parseLog(rotated.erase(at, padding.size())), {holder.pid()});
}

}  // namespace
}  // namespace companion_e2e
