// Start-up seen from outside: the version query, where the log and socket live, suffix and debug files, rotation, records.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"

namespace companion_e2e {
namespace {

namespace fs = std::filesystem;

std::string utcNow() {
  const time_t now = ::time(nullptr);
  tm parts;
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%F %T", &parts);
  return text;
}

fs::perms modeOf(const std::string& path) { return fs::status(path).permissions(); }

TEST_F(CompanionTest, OnlyTheExactVersionArgumentPrintsTheVersion) {
  startAgent();
  const struct {
    std::vector<std::string> args;
    bool versionQuery;
  } cases[] = {
      {{"--version"}, true},
      {{}, false},
      {{"--Version"}, false},
      {{"-version"}, false},
      {{"--version=1"}, false},
      {{"--version", "x"}, false},
      {{"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"}, false},
      {{"/home/user/.mozilla/native-messaging-hosts/vantro.json", "companion@vantro.example"}, false},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    env["XDG_STATE_HOME"] = root() + "/state" + std::to_string(run++);
    Process companion = startCompanion(c.args);
    if (c.versionQuery) {
      EXPECT_EQ(readToEnd(companion), std::string("Version: ") + companion::kVersion + "\n");
      EXPECT_EQ(companion.wait(), 0);
      EXPECT_FALSE(fs::exists(env["XDG_STATE_HOME"])) << "the version query created a log directory";
      EXPECT_TRUE(fs::is_empty(homeDir()));
    } else {
      // Every other command line relays, whatever its arguments.
      EXPECT_EQ(echo(companion, "ping"), "ping");
      companion.closeInput();
      EXPECT_EQ(companion.wait(), 246);
      EXPECT_TRUE(parseLog(readFile(logPath())).has("Loop started"));
    }
  }
}

TEST_F(CompanionTest, LogAndSocketFollowTheXdgDirectories) {
  const std::string homeState = homeDir() + "/.local/state";
  const struct {
    const char* name;
    std::map<std::string, std::optional<std::string>> changes;
    std::string stateBase;
    std::string socketPrefix;
  } cases[] = {
      {"both absolute", {}, stateDir(), runDir() + "/vantro-"},
      {"relative XDG_STATE_HOME", {{"XDG_STATE_HOME", "relative-state"}}, homeState, runDir() + "/vantro-"},
      {"no XDG_STATE_HOME", {{"XDG_STATE_HOME", std::nullopt}}, homeState, runDir() + "/vantro-"},
      {"relative XDG_RUNTIME_DIR", {{"XDG_RUNTIME_DIR", "relative-run"}}, stateDir(), "/tmp/vantro-"},
      {"no XDG_RUNTIME_DIR", {{"XDG_RUNTIME_DIR", std::nullopt}}, stateDir(), "/tmp/vantro-"},
  };
  const auto defaults = env;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env = defaults;
    for (const auto& [name, value] : c.changes) {
      if (value) {
        env[name] = *value;
      } else {
        env.erase(name);
      }
    }
    fs::remove_all(stateDir());
    fs::remove_all(homeDir() + "/.local");
    // With no umask to help, the companion alone keeps the log private.
    Launch launch;
    launch.umask = 0;
    Process companion = startCompanion(launch);
    EXPECT_EQ(companion.wait(), 240);

    const std::string logDir = c.stateBase + "/QM/quillmere2/logs";
    const Log log = parseLog(readFile(logDir + "/companion.log"));
    EXPECT_TRUE(
        log.has("Logger started: " + logDir + "/companion.log, version " + std::string(companion::kVersion) + ", linux"));
    EXPECT_TRUE(log.has("Socket path: " + c.socketPrefix + userDigest()));
    EXPECT_EQ(modeOf(logDir + "/companion.log"), fs::perms(0600));
    for (fs::path dir = logDir; dir != root(); dir = dir.parent_path()) {
      EXPECT_EQ(modeOf(dir), fs::perms(0700)) << dir;
    }
  }
}

TEST_F(CompanionTest, SuffixFileAndDebugMarkerBesideTheExecutable) {
  enum class Marker { None, File, Directory };
  const struct {
    std::optional<std::string> suffixFile;
    Marker marker;
    std::string logSuffix;
    std::string socketSuffix;
    bool debug;
  } cases[] = {
      {std::nullopt, Marker::None, "", "", false},
      {"beta\n", Marker::None, ".beta", "-beta", false},
      {"\xEF\xBB\xBF"
       "be\tta\r\nsecond line",
       Marker::None, ".beta", "-beta", false},
      {"\nsecond line only", Marker::None, "", "", false},
      {"1.2", Marker::File, ".1.2", "-1-2", true},
      {"beta-Debug", Marker::None, ".beta-Debug", "-beta-Debug", true},
      {std::nullopt, Marker::Directory, "", "", true},
  };
  const std::string data("hi\n\x01", 4);
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "suffix file " << testing::PrintToString(c.suffixFile) << ", marker "
                                    << static_cast<int>(c.marker));
    const std::string bin = root() + "/bin" + std::to_string(run++);
    fs::create_directory(bin);
    fs::copy_file(COMPANION_PATH, bin + "/companion");
    if (c.suffixFile) writeFile(bin + "/companion.suffix", *c.suffixFile);
    if (c.marker == Marker::File) writeFile(bin + "/companion.debug", "");
    if (c.marker == Marker::Directory) fs::create_directory(bin + "/companion.debug");
    startAgent({"--socket", socketPath(c.socketSuffix)});

    Launch launch;
    launch.program = bin + "/companion";
    Process companion = startCompanion(launch);
    EXPECT_EQ(echo(companion, data), data);
    companion.closeInput();
    EXPECT_EQ(companion.wait(), 246);
    stopAgent();

    const Log log = parseLog(readFile(logPath(c.logSuffix)));
    EXPECT_TRUE(log.has("Suffix for log: '" + c.logSuffix + "'"));
    EXPECT_TRUE(log.has("Suffix for socket: '" + c.socketSuffix + "'"));
    EXPECT_TRUE(log.has("Socket path: " + socketPath(c.socketSuffix)));
    EXPECT_EQ(log.has(R"(Read from stdin, size: 4, data: hi\0x0a\0x01)"), c.debug);
    const bool anyDebug =
        std::any_of(log.records.begin(), log.records.end(), [](const Record& r) { return r.tag == "[DEBUG]   "; });
    EXPECT_EQ(anyDebug, c.debug);
  }
}

TEST_F(CompanionTest, LogLargerThanTenMebibytesIsRotatedAtStart) {
  const struct {
    size_t size;
    bool rotated;
  } cases[] = {{10485761, true}, {10485760, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    fs::remove_all(stateDir());
    fs::create_directories(fs::path(logPath()).parent_path());
    const std::string previous = std::string(c.size - 1, 'x') + "\n";
    writeFile(logPath(), previous);
    writeFile(logPath() + ".1", "older run\n");

    Process companion = startCompanion();
    EXPECT_EQ(companion.wait(), 240);

    // Compared as booleans: a failure must not print ten mebibytes.
    const std::string log = readFile(logPath());
    const std::string rotated = readFile(logPath() + ".1");
    const std::string ownPart = c.rotated ? log : log.substr(std::min(log.size(), previous.size()));
    EXPECT_TRUE(rotated == (c.rotated ? previous : "older run\n"));
    EXPECT_TRUE(c.rotated || log.compare(0, previous.size(), previous) == 0);
    EXPECT_EQ(ownPart.substr(0, 1), "\n") << "a start must begin with an empty line";
    EXPECT_EQ(parseLog(ownPart).count("Logger started: "), 1u);
  }
}

TEST_F(CompanionTest, FullRunLogsItsRecordsInOrder) {
  startAgent();
  const std::string before = utcNow();
  std::vector<pid_t> pids;
  for (int run = 0; run < 2; ++run) {
    Process companion = startCompanion();
    pids.push_back(companion.pid());
    EXPECT_EQ(echo(companion, R"({"text":"hello"})"), R"({"text":"hello"})");
    companion.closeInput();
    EXPECT_EQ(companion.wait(), 246);
  }
  const std::string after = utcNow();

  // What every run must log, at Info, first and last; between them the
  // relay may report how it ended.
  const std::vector<std::string> head = runHeadMessages();
  const std::vector<std::string>& tail = kRunTailMessages;
  std::vector<std::string> fixedMessages = head;
  fixedMessages.insert(fixedMessages.end(), tail.begin(), tail.end());

  // Each start writes an empty line, then only its own records.
  const Log log = parseLog(readFile(logPath()));
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines.front(), "");
  std::vector<std::vector<Record>> runs;
  auto record = log.records.begin();
  for (const std::string& line : log.lines) {
    if (line.empty()) {
      runs.emplace_back();
    } else if (!runs.empty()) {
      runs.back().push_back(*record++);
    }
  }
  ASSERT_EQ(runs.size(), pids.size());
  for (size_t r = 0; r < runs.size(); ++r) {
    SCOPED_TRACE(testing::Message() << "run " << r);
    const std::vector<Record>& records = runs[r];
    ASSERT_GE(records.size(), fixedMessages.size());
    std::vector<Record> fixed(records.begin(), records.begin() + head.size());
    fixed.insert(fixed.end(), records.end() - tail.size(), records.end());
    std::vector<std::string> messages;
    for (const Record& f : fixed) {
      messages.push_back(f.message);
      EXPECT_EQ(f.tag, "[INFO]    ") << f.message;
    }
    EXPECT_EQ(messages, fixedMessages);
    for (const Record& any : records) {
      EXPECT_EQ(any.processId, pids[r]) << any.message;
      EXPECT_GE(any.time, before) << any.message;
      EXPECT_LE(any.time, after) << any.message;
    }
    EXPECT_NE(records.front().location.find("/src/companion.cpp:"), std::string::npos) << records.front().location;
  }
}

}  // namespace
}  // namespace companion_e2e
