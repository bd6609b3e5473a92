// The relay under unlucky and hostile conditions: a browser that vanishes, a
// blocked signal, FIFOs and links planted where the companion reads and
// writes, an agent that hangs up right after its last reply, and start-ups
// that rotate the same log at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "byte_pattern.h"
#include "harness.h"

namespace companion_e2e {
namespace {

namespace fs = std::filesystem;

// Long enough for any normal end, short enough that a hang fails the test fast.
constexpr int kEndGuardMs = 10000;
constexpr uid_t kNobody = 65534;

// A copy of the companion whose suffix file holds suffix.
std::string programWithSuffix(const std::string& dir, const std::string& suffix) {
  fs::create_directories(dir);
  fs::copy_file(COMPANION_PATH, dir + "/companion");
  writeFile(dir + "/companion.suffix", suffix);
  return dir + "/companion";
}

TEST_F(CompanionTest, BrowserThatLeavesWhileTheAgentTakesNothingEndsTheRunAsItsEndOfInputDoes) {
  // The pump that would read the end of standard input waits in a write to
  // the agent; an agent that makes room for a chunk within every second gets
  // everything. The agent is held while the browser fills the way to it.
  const struct {
    const char* name;
    std::vector<std::string> reads;  // how the agent reads once let go; empty: never
    int letGoAfterMs;
    bool closesOutput;
  } cases[] = {
      {"the browser closes stdin, the agent never reads", {}, 0, false},
      {"the browser closes both, the agent never reads", {}, 0, true},
      {"the agent reads again 0.3 s after the browser left", {"--swallow"}, 300, true},
      {"the agent reads 4 KiB every 50 ms", {"--swallow", "--read-every", "50"}, 0, true},
      {"the agent reads 4 KiB every 0.7 s for 4 s", {"--swallow", "--read-every", "700", "--slow-for", "4000"}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(stateDir());
    const bool reads = !c.reads.empty();
    startAgent(reads ? c.reads : std::vector<std::string>{"--no-read"});
    if (reads) pauseAgent(true);
    Process companion = startCompanion();
    const size_t sent = fillInput(companion);
    companion.closeInput();
    if (c.closesOutput) companion.closeOutput();
    if (reads) {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.letGoAfterMs));
      pauseAgent(false);
    }
    EXPECT_EQ(companion.waitWithin(kEndGuardMs), 246);
    // A stuck agent never notices that the companion has gone.
    if (reads) {
      EXPECT_EQ(agentLine(), sessionLine(companion.pid(), sent, 0));
    }
    stopAgent();
    const Log log = parseLog(readFile(logPath()));
    EXPECT_EQ(log.tagOf("Read from stdin, error 32"), "[ERROR]   ") << testing::PrintToString(log.messages());
    EXPECT_EQ(log.count("Write to "), 0u);
    const std::vector<std::string> messages = log.messages();
    EXPECT_TRUE(std::equal(kRunTailMessages.rbegin(), kRunTailMessages.rend(), messages.rbegin()));
  }
}

TEST_F(CompanionTest, RelayEndsWithTheCancellationSignalBlockedAtStart) {
  startAgent();
  Launch launch;
  launch.blockedSignal = SIGURG;
  Process companion = startCompanion(launch);
  EXPECT_EQ(echo(companion, "ping"), "ping");
  companion.closeInput();
  EXPECT_EQ(companion.waitWithin(kEndGuardMs), 246);
}

TEST_F(CompanionTest, FifoAtTheLogPathOrAsTheSuffixFileDoesNotBlockStartUp) {
  // A FIFO as the log is left alone; one as the suffix file reads as none.
  fs::create_directories(fs::path(logPath()).parent_path());
  ASSERT_EQ(::mkfifo(logPath().c_str(), 0600), 0);
  Process withFifoLog = startCompanion();
  EXPECT_EQ(withFifoLog.waitWithin(kEndGuardMs), 240);
  struct stat status {};
  EXPECT_TRUE(::lstat(logPath().c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
  ASSERT_EQ(::unlink(logPath().c_str()), 0);

  const std::string bin = root() + "/bin";
  fs::create_directory(bin);
  fs::copy_file(COMPANION_PATH, bin + "/companion");
  ASSERT_EQ(::mkfifo((bin + "/companion.suffix").c_str(), 0600), 0);
  Launch launch;
  launch.program = bin + "/companion";
  Process withFifoSuffix = startCompanion(launch);
  EXPECT_EQ(withFifoSuffix.waitWithin(kEndGuardMs), 240);
  EXPECT_TRUE(parseLog(readFile(logPath())).has("Suffix for log: ''"));
}

TEST_F(CompanionTest, AgentsLastReplyReachesTheBrowserWhenTheWriteToTheAgentFails) {
  // The agent sends its reply and hangs up while the browser still writes;
  // whichever side the companion sees end first, the reply arrives whole.
  constexpr size_t kReply = 256 * 1024;
  const std::string expected = patternStream(kReply);
  startAgent({"--swallow", "--send", std::to_string(kReply), "--hang-up-after", std::to_string(kReply)});
  for (int run = 0; run < 24; ++run) {
    SCOPED_TRACE(run);
    Process companion = startCompanion();
    std::thread browser([&] { writeUntilClosed(companion); });
    const std::string reply = readToEnd(companion);
    browser.join();
    const int code = companion.wait();
    EXPECT_TRUE(code == 249 || code == 246) << code;
    ASSERT_EQ(reply.size(), kReply) << "the reply was cut (exit code " << code << ")";
    EXPECT_TRUE(reply == expected);
  }
}

TEST_F(CompanionTest, StartUpsRotatingTogetherKeepTheRotatedLog) {
  constexpr size_t kCompanions = 30;
  constexpr int kRounds = COMPANION_SANITIZED ? 12 : 60;
  fs::create_directories(fs::path(logPath()).parent_path());
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::string marker = "round " + std::to_string(round) + "\n";
    fs::remove(logPath() + ".1");
    writeFile(logPath(), marker + std::string(10485760, 'x') + "\n");
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    ScopedFd gateRead(gate[0]), gateWrite(gate[1]);
    Launch launch;
    launch.gate = gateRead.get();
    std::vector<Process> companions;
    for (size_t i = 0; i < kCompanions; ++i) companions.push_back(startCompanion(launch));
    ASSERT_TRUE(writeAll(gateWrite.get(), std::string(kCompanions, 'g').data(), kCompanions));
    for (Process& companion : companions) EXPECT_EQ(companion.wait(), 240);
    EXPECT_EQ(readFile(logPath() + ".1").substr(0, marker.size()), marker) << "the rotated log was lost";
  }
}

TEST_F(CompanionTest, PlantedRendezvousPathInTmpIsRefused) {
  // Without a runtime directory the socket lies in /tmp, where anyone may
  // plant a name first.
  env.erase("XDG_RUNTIME_DIR");
  const std::string suffix = "planted" + std::to_string(::getpid());
  const std::string program = programWithSuffix(root() + "/bin", suffix);
  const std::string planted = "/tmp/vantro-" + userDigest() + "-" + suffix;
  const std::string served = runDir() + "/other.sock";
  enum class Plant { Symlink, ForeignOwner };
  for (const Plant plant : {Plant::Symlink, Plant::ForeignOwner}) {
    SCOPED_TRACE(plant == Plant::Symlink ? "symlink" : "socket file of another user");
    if (plant == Plant::ForeignOwner && ::geteuid() != 0) {
      std::cout << "skipped without root: a socket file of another user\n";
      continue;
    }
    // Served by this user, as an SSH agent would be: the uid of the server
    // alone does not tell the plant apart.
    startAgent({"--socket", plant == Plant::Symlink ? served : planted});
    const int planting = plant == Plant::Symlink ? ::symlink(served.c_str(), planted.c_str())
                                                 : ::lchown(planted.c_str(), kNobody, kNobody);
    ASSERT_EQ(planting, 0) << std::strerror(errno);
    Launch launch;
    launch.program = program;
    Process companion = startCompanion(launch);
    companion.closeInput();
    EXPECT_EQ(companion.waitWithin(kEndGuardMs), 242);
    const Log log = parseLastRun(readFile(logPath("." + suffix)));
    EXPECT_EQ(log.count("Open socket refused, "), 1u) << testing::PrintToString(log.messages());
    EXPECT_FALSE(log.has("Connected to socket"));
    if (plant == Plant::Symlink) ::unlink(planted.c_str());
    stopAgent();
  }
}

TEST_F(CompanionTest, LogLinksAndForeignDirectoriesAreNotUsed) {
  const fs::path logDir = fs::path(logPath()).parent_path();
  const auto modeOf = [](const fs::path& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status.st_mode & 07777;
  };
  // A link at the log path: the target keeps its bytes and its mode.
  fs::create_directories(logDir);
  const std::string target = root() + "/target";
  writeFile(target, "precious\n");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  ASSERT_EQ(::symlink(target.c_str(), logPath().c_str()), 0);
  EXPECT_EQ(startCompanion().waitWithin(kEndGuardMs), 240);
  EXPECT_EQ(readFile(target), "precious\n");
  EXPECT_EQ(modeOf(target), 0644u);
  EXPECT_TRUE(fs::is_symlink(logPath()));
  ASSERT_EQ(::unlink(logPath().c_str()), 0);

  // The user's own log directory with a looser mode is made private.
  ASSERT_EQ(::chmod(logDir.c_str(), 0755), 0);
  EXPECT_EQ(startCompanion().waitWithin(kEndGuardMs), 240);
  EXPECT_EQ(modeOf(logDir), 0700u);
  EXPECT_TRUE(parseLog(readFile(logPath())).has("Logger stoped"));

  if (::geteuid() != 0) {
    std::cout << "skipped without root: a log directory of another user\n";
    return;
  }
  fs::remove(logPath());
  ASSERT_EQ(::chown(logDir.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(logDir.c_str(), 0777), 0);
  EXPECT_EQ(startCompanion().waitWithin(kEndGuardMs), 240);
  EXPECT_FALSE(fs::exists(logPath())) << "the companion logged into another user's directory";
}

}  // namespace
}  // namespace companion_e2e
