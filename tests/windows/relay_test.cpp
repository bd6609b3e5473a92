// The relay of companion.exe: how it ends, large and bursty traffic, and two companions at once.
#include "fixture.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace companion_test {
namespace {

TEST_F(CompanionTest, RelayEndsWithTheCodeOfTheSideThatEndedFirst) {
  enum class Action { kNone, kCloseStdin, kWrite, kCloseStdout };
  struct Case {
    const char* name;
    std::vector<std::string> agentArgs;
    Action action;
    DWORD code;
    std::string firstError;
    std::string cancelled;  // the stream the other pump reads
  };
  const Case cases[] = {
      {"browser closes standard input", {"--echo"}, Action::kCloseStdin, 246, "Read from stdin, error 109", "socketIn"},
      {"agent closes the pipe", {"--close", "socketIn"}, Action::kNone, 246, "Read from socketIn, error 109", "stdin"},
      {"agent stops reading", {"--close", "socketOut"}, Action::kWrite, 249, "Write to socketOut, error: 232",
       "socketIn"},
      {"browser stops reading", {"--send", "4096"}, Action::kCloseStdout, 247, "Write to stdout, error: 232",
       "stdin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto agent = startAgent(c.agentArgs);
    Child companion(program(), {});
    // Closed before the agent sends, so that no byte gets through.
    if (c.action == Action::kCloseStdout) companion.closeStdout();
    ASSERT_TRUE(agent->waitForLine("paired", kTimeout));
    if (c.action == Action::kCloseStdin) {
      roundTrip(companion, "ping");
      companion.closeStdin();
    }
    if (c.action == Action::kWrite) companion.write("lost");
    EXPECT_EQ(exitCode(companion), c.code);
    EXPECT_EQ(exitCode(*agent), 0u);
    const std::vector<std::string> errors = lastRunMessages(kError);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), c.firstError);
    // The other pump, when it had begun its read by then, was stopped by
    // cancelling that read.
    const std::vector<std::string> cancelled(errors.begin() + 1, errors.end());
    EXPECT_TRUE(cancelled.empty() || cancelled == std::vector<std::string>{"Read from " + c.cancelled + ", error 995"})
        << cancelled.front();
    EXPECT_TRUE(logged("Return code: " + std::to_string(c.code)));
  }
}

TEST_F(CompanionTest, BrowserThatLeavesEndsTheRunOnceTheAgentHasTakenAllOrNothingFor1Second) {
  // The agent is held while the browser fills the way to it; an agent that
  // makes room for a chunk within every second gets everything.
  const struct {
    const char* name;
    Launch launch;
    std::vector<std::string> reads;  // how the agent reads once let go; empty: never
  } cases[] = {
      {"started directly, the agent never reads", Launch::kDirect, {}},
      {"started through cmd.exe, the agent never reads", Launch::kCmd, {}},
      {"the agent reads 4 KiB every 50 ms", Launch::kDirect, {"--read-every", "50"}},
      {"the agent reads 4 KiB every 0.7 s for 4 s", Launch::kDirect, {"--read-every", "700", "--slow-for", "4000"}},
      {"the agent reads 2 KiB every 0.3 s for 4 s", Launch::kDirect,
       {"--read-every", "300", "--read-size", "2048", "--slow-for", "4000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    useSuffix(freshSuffix("h"));
    const fs::path received = dir_.path() / (suffix_ + ".bin");
    std::vector<std::string> agentArgs{"--no-read"};
    if (!c.reads.empty()) {
      agentArgs = c.reads;
      agentArgs.insert(agentArgs.end(), {"--hold", "--record", received.string()});
    }
    const auto agent = startAgent(agentArgs);
    Child browser(program(), {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, Streams(), c.launch);
    // Through cmd.exe the companion is not the browser's child: the agent
    // names it.
    const std::optional<std::string> connected = agent->waitForLine("connected ", kTimeout);
    ASSERT_TRUE(connected);
    const ScopedHandle companion(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                             FALSE, std::stoul(connected->substr(10))));
    ASSERT_TRUE(companion);
    ASSERT_TRUE(agent->waitForLine("paired", kTimeout));
    const size_t sent = browser.fillStdin();
    EXPECT_GT(sent, 0u);
    // A killed browser leaves neither of its ends.
    browser.closeStdin();
    browser.closeStdout();
    const auto left = std::chrono::steady_clock::now();
    if (!c.reads.empty()) agent->write("go");
    // Chrome ends the process it started, cmd.exe, 2 s after the port closed.
    if (c.launch == Launch::kCmd) {
      Sleep(2000);
      browser.kill();
    }
    const auto limit = c.reads.empty() ? left + 3s : left + kTimeout;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
    const bool ended = WaitForSingleObject(companion.get(), static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "the companion outlived the browser too long";
    if (!ended) TerminateProcess(companion.get(), 1);
    WaitForSingleObject(companion.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(companion.get(), &code);
    EXPECT_EQ(code, 246u);
    const std::vector<std::string> errors = lastRunMessages(kError);
    EXPECT_EQ(errors.empty() ? "" : errors.front(), "Read from stdin, error 109");
    EXPECT_TRUE(logged("Return code: 246"));
    EXPECT_EQ(exitCode(*agent), 0u);
    if (!c.reads.empty()) {
      EXPECT_EQ(readFile(received).size(), sent);
    }
  }
}

TEST_F(CompanionTest, SixteenMebibytesEachWayAtOnceArriveUnchanged) {
  constexpr size_t kSize = 16 << 20;
  const fs::path received = dir_.path() / "received.bin";
  const auto agent = startAgent({"--send", std::to_string(kSize), "--record", received.string()});
  Child companion(program(), {});
  const std::string upstream = patternBytes(kSize, 2);
  std::thread writer([&] { companion.write(upstream); });
  const bool complete = companion.waitForOutput(kSize, 120s);
  writer.join();
  companion.closeStdin();
  EXPECT_EQ(exitCode(companion), 246u);
  EXPECT_EQ(exitCode(*agent), 0u);
  ASSERT_TRUE(complete) << companion.output().size() << " bytes arrived";
  EXPECT_EQ(firstDifference(companion.output(), patternBytes(kSize, kAgentStream)), std::string::npos);
  EXPECT_EQ(firstDifference(readFile(received), upstream), std::string::npos);
}

TEST_F(CompanionTest, BurstReachesTheAgentWholeInChunksOfAtMost4096Bytes) {
  writeFile(programDir_ / "companion.debug", "");
  const fs::path received = dir_.path() / "received.bin";
  const auto agent = startAgent({"--record", received.string()});
  Child companion(program(), {});
  const std::string burst = patternBytes(10000, 3);
  ASSERT_TRUE(companion.write(burst));
  companion.closeStdin();
  EXPECT_EQ(exitCode(companion), 246u);
  EXPECT_EQ(exitCode(*agent), 0u);
  EXPECT_EQ(firstDifference(readFile(received), burst), std::string::npos);
  unsigned total = 0;
  for (const std::string& message : lastRunMessages(kDebug)) {
    unsigned bytes = 0;
    if (std::sscanf(message.c_str(), "Write to socketOut bytes: %u", &bytes) != 1) continue;
    EXPECT_LE(bytes, 4096u);
    total += bytes;
  }
  EXPECT_EQ(total, burst.size());
}

TEST_F(CompanionTest, TwoCompanionsAtOnceEachGetTheirOwnBytes) {
  const auto agent = startAgent({"--echo", "--clients", "2"});
  Child first(program(), {});
  Child second(program(), {});
  roundTrip(first, "first");
  roundTrip(second, "second");
  first.closeStdin();
  second.closeStdin();
  EXPECT_EQ(exitCode(first), 246u);
  EXPECT_EQ(exitCode(second), 246u);
  EXPECT_EQ(exitCode(*agent), 0u);
}

TEST_F(CompanionTest, WriteThatMovesNoBytesEndsItsDirection) {
  // A pipe in no-wait mode takes nothing while it is full, and reports that
  // as a success.
  constexpr size_t kSize = 16 << 20;
  const auto agent = startAgent({"--send", std::to_string(kSize)});
  Child companion(program(), {}, {Stream::kPipe, Stream::kNoWaitPipe, {}});
  EXPECT_EQ(exitCode(companion), 247u);
  EXPECT_LT(companion.output().size(), kSize);
  const std::vector<std::string> errors = lastRunMessages(kError);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front(), "Write to stdout, error: 29");
}

}  // namespace
}  // namespace companion_test
