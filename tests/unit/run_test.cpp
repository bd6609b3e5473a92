// The relay run, the rendezvous name and teardown, through the fake platform.
#include <gtest/gtest.h>

#include <memory>

#include "fake_platform.h"
#include "log_records.h"

namespace {

using namespace companion_test;

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    companion::debugEnabled = false;
    fake->executableDir = dir.str();
    fake->logDir = dir.str();
  }
  void TearDown() override { companion::debugEnabled = false; }

  std::string logPath() const { return dir.str() + "/companion.log"; }
  void init() {
    const char* argv[] = {"companion"};
    fake->init(1, argv);
  }
  // Messages logged after start-up, the companion destroyed first.
  std::vector<std::string> runMessages() {
    fake.reset();
    std::vector<std::string> result;
    for (const Record& record : parseLog(readFile(logPath())).records) result.push_back(record.tag + ":" + record.message);
    return {result.begin() + 3, result.end()};
  }
  std::string socketPath(const std::string& suffix = "") const {
    return "\\\\.\\pipe\\vantro-e2048beadfbaa3cd2fef85ee2d697d4427614b0c" + suffix;
  }

  TempDir dir;
  std::unique_ptr<FakePlatform> fake = std::make_unique<FakePlatform>();
};

TEST_F(RunTest, CompleteRunCallsThePlatformInOrderAndReturnsTheLoopCode) {
  init();
  fake->calls.clear();
  fake->loopCode = 249;
  EXPECT_EQ(fake->run(), 249);
  const std::vector<std::string> expected = {"getUserId()", "getSocketPathPrefix()",
                                             "connectSocket(" + socketPath() + ")", "connectStd()", "runLoop()",
                                             "closeAll()"};
  EXPECT_EQ(fake->calls, expected);
  const std::vector<std::string> messages = {
      "[INFO]    :User id: S-1-5-21-1111111111-2222222222-3333333333-1001",
      "[INFO]    :Socket path: " + socketPath(),
      "[INFO]    :Connected to socket",
      "[INFO]    :Connected to std",
      "[INFO]    :Loop started",
      "[INFO]    :Loop stoped",
      "[INFO]    :Return code: 249",
      "[INFO]    :Logger stoped"};
  EXPECT_EQ(runMessages(), messages);
}

TEST_F(RunTest, DebugRunLogsEveryStep) {
  fake->existingPaths.insert(dir.str() + "/companion.debug");
  init();
  EXPECT_EQ(fake->run(), 246);
  const std::vector<std::string> messages = {
      "[DEBUG]   :Connect to socket", "[INFO]    :User id: S-1-5-21-1111111111-2222222222-3333333333-1001",
      "[INFO]    :Socket path: " + socketPath(), "[INFO]    :Connected to socket",
      "[DEBUG]   :Connect to std",    "[INFO]    :Connected to std",
      "[INFO]    :Loop started",      "[INFO]    :Loop stoped",
      "[INFO]    :Return code: 246",  "[INFO]    :Logger stoped"};
  EXPECT_EQ(runMessages(), messages);
}

TEST_F(RunTest, FailedConnectReturnsAtOnce) {
  struct Case {
    int32_t socketCode;
    int32_t stdCode;
    bool debug;
    bool stdTaken;
    std::string lastMessage;
  };
  const Case cases[] = {
      {240, 0, false, false, "[INFO]    :Socket path: " + socketPath()},
      {241, 0, true, false, "[DEBUG]   :Fail connet to socket: 241"},
      {0, 243, false, true, "[INFO]    :Connected to socket"},
      {0, 243, true, true, "[DEBUG]   :Fail connect to std: 243"},
  };
  for (const Case& c : cases) {
    fake = std::make_unique<FakePlatform>();
    SetUp();
    if (c.debug) fake->existingPaths.insert(dir.str() + "/companion.debug");
    init();
    fake->calls.clear();
    fake->socketCode = c.socketCode;
    fake->stdCode = c.stdCode;
    EXPECT_EQ(fake->run(), c.socketCode ? c.socketCode : c.stdCode);
    EXPECT_EQ(fake->callsOf("connectSocket"), std::vector<std::string>{"connectSocket(" + socketPath() + ")"});
    EXPECT_EQ(fake->callsOf("connectStd").size(), c.stdTaken ? 1u : 0u);
    EXPECT_TRUE(fake->callsOf("runLoop").empty());
    EXPECT_TRUE(fake->callsOf("closeAll").empty());
    const std::vector<std::string> messages = runMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], c.lastMessage);
    companion::debugEnabled = false;
  }
}

TEST_F(RunTest, SocketPathIsPrefixDigestAndSuffix) {
  struct Case {
    std::string userId;
    std::string suffixFile;
    std::string expected;
  };
  const Case cases[] = {
      {"S-1-5-21-1111111111-2222222222-3333333333-1001", "", socketPath()},
      {"S-1-5-21-1111111111-2222222222-3333333333-1001", "beta", socketPath("-beta")},
      {"S-1-5-21-1111111111-2222222222-3333333333-1001", ".", socketPath("-")},
      {"unknown", "", "\\\\.\\pipe\\vantro-50d8b4a941c26b89482c94ab324b5a274f9ced66"},
      {"UNKNOWN", "", "\\\\.\\pipe\\vantro-25ba44ec3b391ba4ce5fbbd2979635e254775e7d"},
  };
  for (const Case& c : cases) {
    fake = std::make_unique<FakePlatform>();
    SetUp();
    if (!c.suffixFile.empty()) writeFile(dir.path() / "companion.suffix", c.suffixFile);
    init();
    fake->userId = c.userId;
    EXPECT_EQ(fake->getSocketPath(), c.expected) << c.userId << c.suffixFile;
    std::filesystem::remove(dir.path() / "companion.suffix");
  }
}

TEST_F(RunTest, TeardownEndsTheLogAndClearsTheCallback) {
  init();
  fake.reset();
  const std::vector<std::string> before = readLines(logPath());
  EXPECT_EQ(parseLog(readFile(logPath())).messages().back(), "Logger stoped");
  companion::log(companion::LoggerLevel::Error, "after teardown", "f", 1);
  EXPECT_EQ(readLines(logPath()), before);
}

TEST_F(RunTest, CompanionThatNeverStartedWritesNothing) {
  {
    FakePlatform unused;
    EXPECT_EQ(unused.relay().stdBuffer, std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(unused.relay().socketBuffer.size(), 4096u);
    EXPECT_EQ(unused.processId(), -1);
  }
  fake.reset();
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
