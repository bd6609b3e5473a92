// Connecting companion.exe: a missing or busy agent, a name beyond the system limit, standard streams that are not pipes, and the impersonation level the agent gets.
#include "fixture.h"

#include "pipe_server_win.h"
#include "support.h"

namespace companion_test {
namespace {

TEST_F(CompanionTest, ConnectFailuresEndTheRunAtOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> agentArgs;  // no agent at all when empty
    DWORD code;
    std::string record;
    int agentConnections;
  };
  const Case cases[] = {
      {"no agent", {}, 240, "Open socket not exists, error: 2", 0},
      {"every instance busy", {"--busy"}, 241, "Open socket busy, error: 231", 0},
      {"second open finds the only instance taken", {"--first-only"}, 241, "Open socket busy, error: 231", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    useSuffix(freshSuffix("c"));
    const std::unique_ptr<Child> agent = c.agentArgs.empty() ? nullptr : startAgent(c.agentArgs);
    const auto started = std::chrono::steady_clock::now();
    Child companion(program(), {});
    EXPECT_EQ(exitCode(companion), c.code);
    // Nothing waits for the pipe: an agent that never frees it does not hold the run up.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

    const std::vector<std::string> warnings = lastRunMessages(kWarning);
    EXPECT_EQ(warnings, std::vector<std::string>{c.record});
    EXPECT_FALSE(logged("Connected to socket"));
    EXPECT_FALSE(logged("Fail connet to socket: " + std::to_string(c.code)));
    EXPECT_EQ(lastMessage(), "Logger stoped");
    if (!agent) continue;
    agent->closeStdin();
    EXPECT_EQ(exitCode(*agent), 0u);
    std::string connections;
    for (int i = 0; i < c.agentConnections; ++i) connections += "connected " + std::to_string(companion.pid()) + "\n";
    EXPECT_EQ(agent->output(), "ready\n" + connections);
  }
}

TEST_F(CompanionTest, PipeNameBeyondTheSystemLimitIsAnInvalidOpen) {
  // Past the 32767 units of a system path the open fails with neither "not
  // found" nor "busy". No log either: no directory name can be this long.
  useSuffix(std::string(33000, 'x'));
  Child companion(program(), {});
  EXPECT_EQ(exitCode(companion), 242u);
}

TEST_F(CompanionTest, BothStandardStreamsMustBePipes) {
  struct Case {
    Stream in, out;
    std::string record;
  };
  const Case cases[] = {
      {Stream::kFile, Stream::kPipe, "stdin type handle must be pipe, type: 1"},
      {Stream::kNul, Stream::kPipe, "stdin type handle must be pipe, type: 2"},
      {Stream::kMissing, Stream::kPipe, "stdin type handle must be pipe, type: 0"},
      {Stream::kPipe, Stream::kFile, "stdout type handle must be pipe, type: 1"},
      {Stream::kPipe, Stream::kNul, "stdout type handle must be pipe, type: 2"},
      {Stream::kPipe, Stream::kMissing, "stdout type handle must be pipe, type: 0"},
  };
  const auto agent = startAgent({"--echo", "--clients", std::to_string(std::size(cases))});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    Child companion(program(), {}, {c.in, c.out, dir_.path() / "stream.bin"});
    EXPECT_EQ(exitCode(companion), 243u);
    // Standard output is not looked at once standard input is refused.
    EXPECT_EQ(lastRunMessages(kError), std::vector<std::string>{c.record});
    EXPECT_TRUE(logged("Connected to socket"));
    EXPECT_FALSE(logged("Loop started"));
  }
  EXPECT_EQ(exitCode(*agent), 0u);
}

TEST_F(CompanionTest, ServerOfEitherConnectionWhoseUserIsUnknownIsRefused) {
  // The process that created a pipe instance serves it; one that this
  // process may not open could be anyone's.
  for (const std::string connection : {"socketIn", "socketOut"}) {
    SCOPED_TRACE(connection);
    useSuffix(freshSuffix("o"));
    const auto agent = startAgent({"--unreadable-server", connection});
    Child companion(program(), {});
    companion.closeStdin();
    EXPECT_EQ(exitCode(companion), 242u);
    EXPECT_EQ(lastRunMessages(kError),
              std::vector<std::string>{"Open socket refused, server user: unknown, own user: " + userSid()});
    EXPECT_FALSE(logged("Connected to socket"));
    EXPECT_EQ(exitCode(*agent), 0u);
  }
}

TEST_F(CompanionTest, AgentMayIdentifyTheCompanionButNotActAsIt) {
  if (underWine()) {
    // Wine's ImpersonateNamedPipeClient impersonates the server's own token at
    // SecurityImpersonation whatever level the client asked for.
    GTEST_SKIP() << "Wine ignores the impersonation level of a pipe client";
  }
  const auto agent = startAgent({"--echo"});
  Child companion(program(), {});
  roundTrip(companion, "x");
  EXPECT_EQ(agent->waitForLine("level", kTimeout), "level " + std::to_string(SecurityIdentification));
  companion.closeStdin();
  EXPECT_EQ(exitCode(companion), 246u);
}

TEST(PipeServerUserTest, IsTheUserOfTheServingProcessAndUnknownForAnythingElse) {
  // Wine runs every process as one user, so a server of another user cannot
  // be started here; what decides, the server's user as the system reports
  // it, is checked on real pipes and tokens instead.
  const std::wstring name = L"\\\\.\\pipe\\companion-server-test-" + std::to_wstring(GetCurrentProcessId());
  const ScopedHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                             nullptr));
  ASSERT_TRUE(server);
  const ScopedHandle client(
      CreateFileW(name.c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(client);
  const std::string own = userSid();
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(companion::ownUserSid(), own);
  EXPECT_EQ(companion::pipeServerUserSid(client.get()), own);
  // Not a pipe: no server to establish, so the companion refuses it.
  const TempDir dir("companion-server-test");
  const ScopedHandle file(CreateFileW((dir.path() / "f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  EXPECT_EQ(companion::pipeServerUserSid(file.get()), "");
}

}  // namespace
}  // namespace companion_test
