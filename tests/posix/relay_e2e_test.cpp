// The relay: how each side ends it, large and non-blocking transfers, and companions running side by side.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "byte_pattern.h"
#include "harness.h"

namespace companion_e2e {
namespace {

TEST_F(CompanionTest, RelayEndsWithTheCodeOfTheSideThatEnded) {
  enum class Browser {
    ClosesInput,
    ReadsToEnd,
    ClosesOutput,
    WritesUntilClosed,
    ClosesOutputThenInput,
    ClosesOutputThenSends,
  };
  constexpr size_t kSent = 100000;
  const struct {
    const char* name;
    std::vector<std::string> agentArgs;
    Browser browser;
    std::set<int> codes;
  } cases[] = {
      {"the browser closes stdin", {}, Browser::ClosesInput, {246}},
      {"the agent closes after sending", {"--send", "100000", "--close-read-after", "100000"}, Browser::ReadsToEnd,
       {246}},
      {"the browser stops reading", {"--send", "1000000000"}, Browser::ClosesOutput, {247}},
      // Standard output closing alone is no end: the relay goes on.
      {"the browser closes stdout, stdin 100 ms later", {"--swallow"}, Browser::ClosesOutputThenInput, {246}},
      {"the browser closes stdout, sends 10 bytes 300 ms later and closes stdin", {"--swallow"},
       Browser::ClosesOutputThenSends, {246}},
      {"the agent stops reading at once", {"--close-write-after", "0"}, Browser::WritesUntilClosed, {249}},
      {"the agent stops reading midway", {"--close-write-after", "100000"}, Browser::WritesUntilClosed, {249}},
      // The second connect succeeds; which failure the relay meets first is open.
      {"the agent closes the second connection", {"--refuse-second"}, Browser::WritesUntilClosed, {246, 249}},
      // The second connect is refused, or lands in the backlog that the agent
      // drops when it stops listening.
      {"the agent stops listening after one connection", {"--first-only"}, Browser::WritesUntilClosed, {240, 249}},
  };
  const std::string pattern = patternStream(kSent);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(stateDir());
    startAgent(c.agentArgs);
    Process companion = startCompanion();
    const bool outputFirst = c.browser == Browser::ClosesOutputThenInput || c.browser == Browser::ClosesOutputThenSends;
    const std::string late = c.browser == Browser::ClosesOutputThenSends ? "0123456789" : "";
    switch (c.browser) {
      case Browser::ClosesInput:
        EXPECT_EQ(echo(companion, "bye"), "bye");
        companion.closeInput();
        break;
      case Browser::ReadsToEnd: EXPECT_TRUE(readToEnd(companion) == pattern); break;
      case Browser::ClosesOutput: companion.closeOutput(); break;
      case Browser::WritesUntilClosed: writeUntilClosed(companion); break;
      case Browser::ClosesOutputThenInput:
      case Browser::ClosesOutputThenSends:
        companion.closeOutput();
        std::this_thread::sleep_for(std::chrono::milliseconds(late.empty() ? 100 : 300));
        EXPECT_TRUE(writeAll(companion.input(), late.data(), late.size()));
        companion.closeInput();
        break;
    }
    const int code = companion.wait();
    EXPECT_EQ(c.codes.count(code), 1u) << "exit code " << code;
    // Everything sent reaches the agent, and no write to standard output was
    // made, so none failed.
    if (outputFirst) {
      EXPECT_EQ(agentLine(), sessionLine(companion.pid(), late.size(), 0));
      EXPECT_EQ(parseLog(readFile(logPath())).count("Write to stdout"), 0u);
    }
    stopAgent();

    const Log log = parseLog(readFile(logPath()));
    EXPECT_TRUE(log.has(code == 240 ? "Open socket not exists, error: 111" : "Return code: " + std::to_string(code)));
    EXPECT_EQ(log.messages().back(), "Logger stoped");
  }
}

TEST_F(CompanionTest, RelaysLargeTransfersUnchangedBothWaysAtOnce) {
  startAgent();
  const struct {
    Stream stream;
    size_t size;
  } cases[] = {{Stream::Pipe, 16 << 20}, {Stream::NonBlockingPipe, 16 << 20}, {Stream::SocketPair, 4 << 20}};
  uint32_t stream = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "stream kind " << static_cast<int>(c.stream));
    const std::string data = patternBytes(c.size, stream++);
    Process companion = startCompanion(c.stream, c.stream);
    // The agent echoes, so both directions carry all of it at once.
    EXPECT_TRUE(echo(companion, data) == data);
    companion.closeInput();
    EXPECT_EQ(companion.wait(), 246);
    EXPECT_EQ(agentLine(), sessionLine(companion.pid(), c.size, c.size));
  }
}

TEST_F(CompanionTest, ConcurrentCompanionsNeverCrossStreams) {
  constexpr size_t kCompanions = 4;
  constexpr size_t kSize = 256 << 10;
  // Connects interleave only now and then; several rounds make a crossing
  // agent or companion likely to show.
  constexpr int kRounds = 5;
  startAgent();
  // Let go at one moment, the companions connect at the same time.
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    relayAtOnce(kCompanions, kSize, static_cast<uint32_t>(round * kCompanions));
  }
}

}  // namespace
}  // namespace companion_e2e
