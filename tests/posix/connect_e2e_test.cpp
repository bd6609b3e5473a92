// Reaching the agent and taking the standard streams: each failure ends the run with its own code and record.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "harness.h"

namespace companion_e2e {
namespace {

constexpr char kWarning[] = "[WARNING] ";
constexpr char kError[] = "[ERROR]   ";

// A socket file that nobody listens on, as a crashed agent leaves behind.
ScopedFd bindWithoutListening(const std::string& path) {
  ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  return fd;
}

TEST_F(CompanionTest, AgentThatCannotBeReachedEndsTheRunWithItsCode) {
  enum class Setup { Nothing, StaleSocket, RuntimeDirIsFile, PathTooLong, Agent };
  const struct {
    const char* name;
    Setup setup;
    std::vector<std::string> agentArgs;
    int code;
    const char* tag;
    std::string record;
  } cases[] = {
      {"nobody serves the path", Setup::Nothing, {}, 240, kWarning, "Open socket not exists, error: 2"},
      {"nobody listens on the socket", Setup::StaleSocket, {}, 240, kWarning, "Open socket not exists, error: 111"},
      {"the agent's backlog is full", Setup::Agent, {"--busy"}, 241, kWarning, "Open socket busy, error: 11"},
      {"the runtime directory is a file", Setup::RuntimeDirIsFile, {}, 242, kError,
       "Open socket invalid handle, error: 20"},
      {"the path does not fit a socket address", Setup::PathTooLong, {}, 242, kError,
       "Open socket invalid handle, error: 36"},
  };
  const auto defaults = env;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env = defaults;
    std::filesystem::remove_all(stateDir());
    ScopedFd stale;
    switch (c.setup) {
      case Setup::Nothing: break;
      case Setup::StaleSocket: stale = bindWithoutListening(socketPath()); break;
      case Setup::RuntimeDirIsFile:
        writeFile(root() + "/not-a-dir", "");
        env["XDG_RUNTIME_DIR"] = root() + "/not-a-dir";
        break;
      case Setup::PathTooLong: env["XDG_RUNTIME_DIR"] = runDir() + "/" + std::string(100, 'r'); break;
      case Setup::Agent: startAgent(c.agentArgs); break;
    }
    Process companion = startCompanion();
    // Waiting input must not make the companion go on after a failed connect.
    // The write fails when the companion has already ended, which is as good.
    writeAll(companion.input(), "hello", 5);
    EXPECT_EQ(companion.wait(), c.code);
    stopAgent();
    ::unlink(socketPath().c_str());

    const Log log = parseLog(readFile(logPath()));
    EXPECT_EQ(log.tagOf(c.record), c.tag) << testing::PrintToString(log.messages());
    // One attempt, no retry, and nothing after it but the end of the log.
    EXPECT_EQ(log.count("Connect to socket path: "), 1u);
    EXPECT_EQ(log.count("Open socket "), 1u);
    EXPECT_FALSE(log.has("Connected to socket"));
    EXPECT_EQ(log.messages().back(), "Logger stoped");
  }
}

TEST_F(CompanionTest, AgentOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can start an agent as another user (nobody, 65534)";
  constexpr uid_t kNobody = 65534;
  // The other user's agent must reach the socket's directory and own it.
  ASSERT_EQ(::chmod(root().c_str(), 0711), 0);
  ASSERT_EQ(::chown(runDir().c_str(), kNobody, kNobody), 0);
  startAgent({"--socket", socketPath()}, kNobody);
  // A socket file of another user is refused before connecting; owned by us,
  // it is the server's own uid that must tell.
  ASSERT_EQ(::lchown(socketPath().c_str(), ::geteuid(), ::getegid()), 0);

  Process companion = startCompanion();
  EXPECT_TRUE(writeAll(companion.input(), "secret", 6));
  EXPECT_EQ(companion.wait(), 242);
  // The agent saw one companion that sent it nothing.
  EXPECT_EQ(agentLine(), "session " + std::to_string(companion.pid()) + " in 0 out 0");

  const Log log = parseLog(readFile(logPath()));
  const auto names = [](const Record& r, const std::string& uid) {
    return std::regex_search(r.message, std::regex("\\b" + uid + "\\b"));
  };
  const bool refusalNamesBothUsers = std::any_of(log.records.begin(), log.records.end(), [&](const Record& r) {
    return r.tag == kError && names(r, "65534") && names(r, "0");
  });
  EXPECT_TRUE(refusalNamesBothUsers) << testing::PrintToString(log.messages());
  EXPECT_FALSE(log.has("Connected to socket"));
}

TEST_F(CompanionTest, StandardStreamsMustBePipesOrSockets) {
  startAgent();
  const struct {
    Stream in;
    Stream out;
    std::string record;
  } cases[] = {
      {Stream::Terminal, Stream::Pipe, "stdin type handle must be pipe, type: 2"},
      {Stream::Pipe, Stream::Terminal, "stdout type handle must be pipe, type: 2"},
      {Stream::DevNull, Stream::Pipe, "stdin type handle must be pipe, type: 2"},
      {Stream::RegularFile, Stream::Pipe, "stdin type handle must be pipe, type: 1"},
      {Stream::Pipe, Stream::RegularFile, "stdout type handle must be pipe, type: 1"},
      {Stream::Directory, Stream::Pipe, "stdin type handle must be pipe, type: 0"},
      {Stream::Closed, Stream::Pipe, "Get stdin handle, error: 9"},
      {Stream::Pipe, Stream::Closed, "Get stdout handle, error: 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    std::filesystem::remove_all(stateDir());
    Process companion = startCompanion(c.in, c.out);
    EXPECT_EQ(companion.wait(), 243);
    EXPECT_EQ(agentLine(), "session " + std::to_string(companion.pid()) + " in 0 out 0");

    const Log log = parseLog(readFile(logPath()));
    EXPECT_EQ(log.tagOf(c.record), kError) << testing::PrintToString(log.messages());
    EXPECT_TRUE(log.has("Connected to socket"));
    EXPECT_FALSE(log.has("Connected to std"));
    EXPECT_FALSE(log.has("Loop started"));
  }
  EXPECT_EQ(readFile(root() + "/stdout-file"), "") << "the companion wrote into a file given as its output";
}

}  // namespace
}  // namespace companion_e2e
