// Connecting companion.exe: a missing or busy agent, a name beyond the system limit, standard streams that are not pipes, and the impersonation level the agent gets.
#include "fixture.h"

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

}  // namespace
}  // namespace companion_test
