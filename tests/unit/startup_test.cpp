// Start-up through the fake platform: suffix file, debug switch, rotation and
// the first records.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "fake_platform.h"
#include "file.h"
#include "log_records.h"
#include "private_root.h"

namespace {

using namespace companion_test;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    companion::debugEnabled = false;
    std::filesystem::create_directories(binDir());
    fake->executableDir = binDir();
    fake->logDir = (dir.path() / "logs").string();
  }
  void TearDown() override { companion::debugEnabled = false; }

  std::string binDir() const { return (dir.path() / "bin").string(); }
  std::string logPath() const { return fake->logDir + "/companion.log"; }
  std::string rotatedPath() const { return fake->logDir + "/companion.log.1"; }
  void writeSuffix(const std::string& content) { writeFile(binDir() + "/companion.suffix", content); }
  void init() {
    const char* argv[] = {"/program/companion", "--ignored"};
    fake->init(2, argv);
  }
  // The message of every record in the log.
  std::vector<std::string> messages() const { return parseLog(readFile(logPath())).messages(); }

  TempDir dir;
  std::unique_ptr<FakePlatform> fake = std::make_unique<FakePlatform>();
};

TEST_F(StartupTest, SuffixFileFirstLineIsCleanedIntoBothSuffixes) {
  struct Case {
    const char* name;
    std::string content;
    std::string logSuffix;
    std::string socketSuffix;
  };
  const Case cases[] = {
      {"CR LF ending", "beta\r\nsecond\r\n", ".beta", "-beta"},
      {"leading dot", ".beta", ".beta", "-beta"},
      {"version-like", "1.2\n", ".1.2", "-1-2"},
      {"empty first line", "\nbeta\n", "", ""},
      {"empty file", "", "", ""},
      {"only a dot", ".\n", ".", "-"},
      {"only spaces", "   \n", ".   ", "-   "},
      {"BOM, tab and DEL removed", "\xEF\xBB\xBF" "be\tta\x7F\r\n", ".beta", "-beta"},
      {"nothing printable", "\xEF\xBB\xBF\t\r\n", "", ""},
      {"non-ASCII letters dropped", "b\xC3\xA9ta", ".bta", "-bta"},
  };
  for (const Case& c : cases) {
    fake = std::make_unique<FakePlatform>();
    SetUp();
    writeSuffix(c.content);
    init();
    EXPECT_EQ(fake->logSuffix(), c.logSuffix) << c.name;
    EXPECT_EQ(fake->socketSuffix(), c.socketSuffix) << c.name;
    EXPECT_EQ(fake->callsOf("getLogDir"), std::vector<std::string>{"getLogDir(" + c.logSuffix + ")"}) << c.name;
  }
}

TEST_F(StartupTest, MissingSuffixFileLeavesBothSuffixesEmpty) {
  init();
  EXPECT_EQ(fake->logSuffix(), "");
  EXPECT_EQ(fake->socketSuffix(), "");
  const std::vector<std::string> expected = {"Logger started: " + logPath() + ", version " + companion::kVersion + ", fake",
                                             "Suffix for log: ''", "Suffix for socket: ''"};
  EXPECT_EQ(messages(), expected);
}

TEST_F(StartupTest, SuffixLineWithoutEndIsReadOnlyUpToALimit) {
  writeSuffix(std::string(200000, 'x'));
  init();
  EXPECT_EQ(fake->logSuffix(), "." + std::string(65536, 'x'));
}

TEST_F(StartupTest, CallsThePlatformInOrder) {
  init();
  const std::vector<std::string> expected = {
      "getExecutableDir(/program/companion)",
      "getProcessId()",
      "fileExists(" + binDir() + "/companion.debug)",
      "getLogDir()",
      "createDirectories(" + fake->logDir + ")",
      "fileSize(" + logPath() + ")",
      "getPlatformName()",
  };
  EXPECT_EQ(fake->calls, expected);
  EXPECT_EQ(fake->processId(), 4321);
  EXPECT_FALSE(companion::debugEnabled);
}

TEST_F(StartupTest, DebugWordInTheSuffixSwitchesDebugOnWithoutLookingForTheMarker) {
  for (const char* suffix : {"beta-Debug", "DEBUG", "xdebugx"}) {
    fake = std::make_unique<FakePlatform>();
    SetUp();
    writeSuffix(suffix);
    init();
    EXPECT_TRUE(companion::debugEnabled) << suffix;
    EXPECT_EQ(fake->logSuffix(), std::string(".") + suffix);
    for (const std::string& call : fake->calls) EXPECT_EQ(call.find("fileExists"), std::string::npos) << suffix;
  }
}

TEST_F(StartupTest, DebugMarkerSwitchesDebugOn) {
  writeSuffix("debu g");
  fake->existingPaths.insert(binDir() + "/companion.debug");
  init();
  EXPECT_TRUE(companion::debugEnabled);
}

TEST_F(StartupTest, LogOfExactlyTheThresholdIsAppendedTo) {
  std::filesystem::create_directories(fake->logDir);
  writeFile(logPath(), "old\n");
  fake->fileSizes[logPath()] = 10485760;
  init();
  for (const std::string& call : fake->calls) {
    EXPECT_EQ(call.rfind("removeFile", 0), std::string::npos);
    EXPECT_EQ(call.rfind("renameFile", 0), std::string::npos);
  }
  EXPECT_EQ(readLines(logPath()).front(), "old");
}

TEST_F(StartupTest, LogOneByteOverTheThresholdIsRotated) {
  std::filesystem::create_directories(fake->logDir);
  writeFile(logPath(), "old\n");
  writeFile(rotatedPath(), "older\n");
  fake->fileSizes[logPath()] = 10485761;
  init();
  std::vector<std::string> rotation;
  for (const std::string& call : fake->calls) {
    if (call.rfind("removeFile(", 0) == 0 || call.rfind("renameFile(", 0) == 0) rotation.push_back(call);
  }
  const std::vector<std::string> expected = {"removeFile(" + rotatedPath() + ")",
                                             "renameFile(" + logPath() + ", " + rotatedPath() + ")",
                                             "removeFile(" + logPath() + ")"};
  EXPECT_EQ(rotation, expected);
  EXPECT_EQ(readFile(rotatedPath()), "old\n");
  EXPECT_EQ(readLines(logPath()).front(), "");
  EXPECT_EQ(messages().size(), 3u);
}

TEST_F(StartupTest, RotationLockHeldTooLongIsGivenUpAndTheLogAppendedTo) {
  std::filesystem::create_directories(fake->logDir);
  writeFile(logPath(), "old\n");
  fake->fileSizes[logPath()] = 10485761;
  // Another start-up that was stopped while it rotated.
  auto holder = std::make_unique<companion::FileLock>(logPath());
  ASSERT_TRUE(holder->holds(logPath()));
  std::atomic<bool> started{false};
  std::thread startUp([&] {
    init();
    started = true;
  });
  // Only a hang guard: giving up takes about 2 s.
  for (int i = 0; i < 1000 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(started) << "start-up still waits for the lock";
  holder.reset();
  startUp.join();
  EXPECT_TRUE(fake->callsOf("renameFile").empty());
  const std::vector<std::string> lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 5u);  // the old line, the empty line, three start records
  EXPECT_EQ(lines.front(), "old");
}

TEST_F(StartupTest, EmptyLogDirectoryPutsTheLogAtTheRoot) {
  // The companion runs with the test's directory as its root, so the log it
  // puts at "/" lands there.
  std::string whyNot;
  const int status = runWithRootAt(dir.path(), [] {
    FakePlatform rooted;
    rooted.executableDir = "/";
    const char* argv[] = {"/companion"};
    rooted.init(1, argv);
    return rooted.callsOf("createDirectories") == std::vector<std::string>{"createDirectories()"} &&
                   rooted.callsOf("fileSize") == std::vector<std::string>{"fileSize(/companion.log)"}
               ? 0
               : 1;
  }, whyNot);
  if (status == -1) GTEST_SKIP() << whyNot;
  EXPECT_EQ(status, 0) << "the platform was asked for other directories or sizes";
  const Log log = parseLog(readFile(dir.path() / "companion.log"));
  ASSERT_EQ(log.lines.size(), 5u);  // the empty line, three start records, "Logger stoped"
  EXPECT_EQ(log.records[0].message, std::string("Logger started: /companion.log, version ") + companion::kVersion + ", fake");
}

TEST_F(StartupTest, EveryStartLeavesAnEmptyLineBeforeItsRecords) {
  init();
  fake.reset();
  fake = std::make_unique<FakePlatform>();
  SetUp();
  init();
  const std::string path = logPath();
  fake.reset();
  const std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[5], "");
}

}  // namespace
