// End-to-end tests: the real companion.exe between the stand-in browser
// (Child) and the stand-in agent, on real named and anonymous pipes.
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "file.h"
#include "launcher.h"
#include "utf8_win.h"

namespace {

using namespace companion_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kTimeout = 60s;
constexpr char kInfo[] = "[INFO]    :";
constexpr char kWarning[] = "[WARNING] :";
constexpr char kError[] = "[ERROR]   :";
constexpr char kDebug[] = "[DEBUG]   :";

fs::path testProgramDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// SHA-1 from the system's BCrypt, independent of the companion's own digest.
std::string sha1Hex(const std::string& text) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR digest[20] = {};
  BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
  BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())), static_cast<ULONG>(text.size()), 0);
  BCryptFinishHash(hash, digest, sizeof digest, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  std::string hex;
  for (UCHAR byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string localAppData() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", path, MAX_PATH);
  return companion::wideToUtf8(path, length < MAX_PATH ? length : 0);
}

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

DWORD exitCode(Child& child) {
  const std::optional<DWORD> code = child.wait(kTimeout);
  EXPECT_TRUE(code.has_value()) << "still running after " << kTimeout.count() << " s";
  return code.value_or(STILL_ACTIVE);
}

// Echoed bytes came back: both pumps have relayed once.
void roundTrip(Child& companion, const std::string& bytes) {
  const size_t before = companion.output().size();
  ASSERT_TRUE(companion.write(bytes));
  ASSERT_TRUE(companion.waitForOutput(before + bytes.size(), kTimeout));
  EXPECT_EQ(companion.output().substr(before), bytes);
  // Let the socket pump block in its next read, as it does between messages.
  Sleep(100);
}

size_t firstDifference(const std::string& a, const std::string& b) {
  const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return mismatch.first == a.end() && mismatch.second == b.end() ? std::string::npos
                                                                  : static_cast<size_t>(mismatch.first - a.begin());
}

struct Record {
  std::string time, zone, pid, tag, message, location;
};

// Removes a directory and everything in it, also beyond MAX_PATH, where the
// runtime's own remove_all gives up.
void removeTree(const fs::path& dir) {
  const std::wstring path = L"\\\\?\\" + dir.wstring();
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(dir / name);
      } else {
        DeleteFileW((path + L"\\" + name).c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

class TempDir {
 public:
  TempDir()
      : path_(fs::temp_directory_path() /
              ("companion-e2e-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()))) {
    fs::create_directories(path_);
  }
  ~TempDir() { removeTree(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class CompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    placeProgram(dir_.path());
    useSuffix(freshSuffix("t"));
  }
  void TearDown() override {
    for (const std::string& suffix : suffixes_) removeTree(logDir(suffix).parent_path());
  }

  // A suffix of this test alone, so that tests never share a log or a pipe.
  static std::string freshSuffix(const std::string& word) {
    static int count = 0;
    return word + std::to_string(GetCurrentProcessId()) + "n" + std::to_string(++count);
  }
  // Puts a copy of companion.exe into the directory and runs that copy.
  void placeProgram(const fs::path& dir) {
    fs::create_directories(dir);
    fs::copy_file(testProgramDir() / "companion.exe", dir / "companion.exe", fs::copy_options::overwrite_existing);
    programDir_ = dir;
  }
  // Writes the suffix file beside the program; an empty suffix means none.
  void useSuffix(const std::string& suffix) {
    suffix_ = suffix;
    suffixes_.push_back(suffix);
    std::error_code error;
    fs::remove(programDir_ / "companion.suffix", error);
    if (!suffix.empty()) writeFile(programDir_ / "companion.suffix", suffix + "\r\n");
  }
  fs::path program() const { return programDir_ / "companion.exe"; }
  std::string logSuffix() const { return suffix_.empty() ? "" : "." + suffix_; }
  std::string socketSuffix() const { return suffix_.empty() ? "" : "-" + suffix_; }
  std::string logDirText() const { return localAppData() + "/QM/quillmere2" + logSuffix() + "/logs"; }
  fs::path logDir(const std::string& suffix) const {
    return fs::path(localAppData()) / "QM" / ("quillmere2" + (suffix.empty() ? "" : "." + suffix)) / "logs";
  }
  fs::path logPath() const { return logDir(suffix_) / "companion.log"; }
  fs::path rotatedPath() const { return logDir(suffix_) / "companion.log.1"; }
  std::string pipeName() const { return "\\\\.\\pipe\\vantro-" + sha1Hex(userSid()) + socketSuffix(); }

  std::unique_ptr<Child> startAgent(std::vector<std::string> args) {
    args.insert(args.begin(), pipeName());
    auto agent = std::make_unique<Child>(testProgramDir() / "stand_in_agent.exe", args);
    EXPECT_TRUE(agent->waitForLine("ready", kTimeout)) << agent->output();
    return agent;
  }

  // The records of the last run: the lines after the log's last empty line.
  std::vector<Record> lastRun() const {
    const std::string log = readFile(logPath());
    std::vector<Record> records;
    for (size_t begin = 0, end; (end = log.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      const std::string line = log.substr(begin, end - begin);
      if (line.empty()) records.clear();
      std::istringstream fields(line);
      Record r;
      if (std::getline(fields, r.time, '\t') && std::getline(fields, r.zone, '\t') &&
          std::getline(fields, r.pid, '\t') && std::getline(fields, r.tag, '\t') &&
          std::getline(fields, r.message, '\t') && std::getline(fields, r.location)) {
        records.push_back(r);
      }
    }
    return records;
  }
  std::vector<std::string> lastRunMessages(const char* tag = nullptr) const {
    std::vector<std::string> messages;
    for (const Record& r : lastRun()) {
      if (tag == nullptr || r.tag == tag) messages.push_back(r.message);
    }
    return messages;
  }
  std::string lastMessage() const {
    const std::vector<std::string> messages = lastRunMessages();
    return messages.empty() ? std::string() : messages.back();
  }
  bool logged(const std::string& message) const {
    const std::vector<std::string> messages = lastRunMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }

  TempDir dir_;
  fs::path programDir_;
  std::string suffix_;
  std::vector<std::string> suffixes_;
};

TEST_F(CompanionTest, OnlyTheExactVersionArgumentPrintsTheVersion) {
  struct Case {
    std::vector<std::string> args;
    DWORD code;
    std::string output;
  };
  const Case cases[] = {
      {{"--version"}, 0, "Version: 1.0.2\r\n"},
      // Anything else starts a relay, which finds no agent here.
      {{"--Version"}, 240, ""},
      {{"-version"}, 240, ""},
      {{"--version=1"}, 240, ""},
      {{"--version", "x"}, 240, ""},
      {{}, 240, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.front() + " (" + std::to_string(c.args.size()) + ")");
    useSuffix(freshSuffix("v"));
    Child companion(program(), c.args);
    EXPECT_EQ(exitCode(companion), c.code);
    EXPECT_EQ(companion.output(), c.output);
    EXPECT_EQ(fs::exists(logDir(suffix_)), c.code != 0);
  }
}

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

TEST_F(CompanionTest, StartRecordsNameTheLogPathTheUserAndThePipe) {
  for (const std::string& suffix : {std::string(), freshSuffix("s")}) {
    SCOPED_TRACE("suffix '" + suffix + "'");
    useSuffix(suffix);
    Child companion(program(), {});
    EXPECT_EQ(exitCode(companion), 240u);
    const std::vector<std::string> expected = {
        "Logger started: " + logDirText() + "/companion.log, version 1.0.2, windows",
        "Suffix for log: '" + logSuffix() + "'",
        "Suffix for socket: '" + socketSuffix() + "'",
        "User id: " + userSid(),
        "Socket path: " + pipeName(),
        "Connect to socket path: " + pipeName(),
    };
    const std::vector<std::string> messages = lastRunMessages();
    ASSERT_GE(messages.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + expected.size()), expected);
  }
}

TEST_F(CompanionTest, FullRunLogsItsRecordsInOrderWithCrLf) {
  const auto agent = startAgent({"--echo"});
  Child companion(program(), {});
  roundTrip(companion, "ping");
  companion.closeStdin();
  EXPECT_EQ(exitCode(companion), 246u);

  const std::string log = readFile(logPath());
  // Every line ends in CR LF, and no CR or LF stands alone.
  const auto count = [&log](const std::string& text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("\n"), count("\r\n"));
  EXPECT_EQ(count("\r"), count("\r\n"));
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  struct Expected {
    const char* tag;
    std::string message;
    const char* file;
  };
  const Expected expected[] = {
      {kInfo, "Logger started: " + logDirText() + "/companion.log, version 1.0.2, windows", "companion.cpp"},
      {kInfo, "Suffix for log: '" + logSuffix() + "'", "companion.cpp"},
      {kInfo, "Suffix for socket: '" + socketSuffix() + "'", "companion.cpp"},
      {kInfo, "User id: " + userSid(), "companion.cpp"},
      {kInfo, "Socket path: " + pipeName(), "companion.cpp"},
      {kInfo, "Connect to socket path: " + pipeName(), "companionwindows.cpp"},
      {kInfo, "Connected to socket", "companion.cpp"},
      {kInfo, "Connected to std", "companion.cpp"},
      {kInfo, "Loop started", "companion.cpp"},
      {kError, "Read from stdin, error 109", "companionwindows.cpp"},
      {kError, "Read from socketIn, error 995", "companionwindows.cpp"},
      {kInfo, "Loop stoped", "companion.cpp"},
      {kInfo, "Return code: 246", "companion.cpp"},
      {kInfo, "Logger stoped", "companion.cpp"},
  };
  const std::vector<Record> records = lastRun();
  ASSERT_EQ(records.size(), std::size(expected));
  const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(expected[i].message);
    EXPECT_TRUE(std::regex_match(records[i].time, time)) << records[i].time;
    EXPECT_EQ(records[i].zone, "UTC");
    EXPECT_EQ(records[i].pid, "[" + std::to_string(companion.pid()) + "]");
    EXPECT_EQ(records[i].tag, expected[i].tag);
    EXPECT_EQ(records[i].message, expected[i].message);
    const std::regex location(std::string(R"(\[.*[/\\])") + expected[i].file + R"(:\d+\])");
    EXPECT_TRUE(std::regex_match(records[i].location, location)) << records[i].location;
  }
}

TEST_F(CompanionTest, DebugRecordsFollowTheMarkerAndTheSuffix) {
  struct Case {
    const char* name;
    bool marker;
    std::string suffixWord;
    bool debug;
  };
  const Case cases[] = {
      {"debug marker", true, "m", true},
      {"suffix naming debug", false, "beta-Debug", true},
      {"neither", false, "n", false},
  };
  const std::string data("hi\n\0\xff", 5);
  const std::string shown = R"(hi\0x0a\0x00\0xff)";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    useSuffix(freshSuffix(c.suffixWord));
    std::error_code error;
    fs::remove(programDir_ / "companion.debug", error);
    if (c.marker) writeFile(programDir_ / "companion.debug", "");
    const auto agent = startAgent({"--echo"});
    Child companion(program(), {});
    roundTrip(companion, data);
    companion.closeStdin();
    EXPECT_EQ(exitCode(companion), 246u);

    const std::vector<std::string> debug = lastRunMessages(kDebug);
    if (!c.debug) {
      EXPECT_EQ(debug, std::vector<std::string>{});
      continue;
    }
    // Both pumps log at once; each one's records keep their own order.
    const std::vector<std::vector<std::string>> sequences = {
        {"Connect to socket", "Connect to std", "Start read from stdin", "Read from stdin bytes: 5",
         "Read from stdin, size: 5, data: " + shown, "Stop read from stdin", "Start write to socketOut",
         "Write to socketOut, size: 5, data: " + shown, "Write to socketOut bytes: 5", "Stop write to socketOut",
         "Start read from stdin", "Stop read from stdin", "Stop run std", "Start wait socket finish",
         "Stop wait socket finish"},
        {"Start read from socketIn", "Read from socketIn bytes: 5", "Read from socketIn, size: 5, data: " + shown,
         "Stop read from socketIn", "Start write to stdout", "Write to stdout, size: 5, data: " + shown,
         "Write to stdout bytes: 5", "Stop write to stdout", "Start read from socketIn", "Stop read from socketIn",
         "Stop run socket", "Start wait std finish", "Stop wait std finish"},
    };
    for (const std::vector<std::string>& sequence : sequences) {
      auto next = debug.begin();
      for (const std::string& message : sequence) {
        next = std::find(next, debug.end(), message);
        ASSERT_NE(next, debug.end()) << "missing or out of order: " << message;
        ++next;
      }
    }
  }
}

TEST_F(CompanionTest, LogAboveTenMebibytesIsRotatedAtStart) {
  for (const uintmax_t size : {uintmax_t{10485760}, uintmax_t{10485761}}) {
    SCOPED_TRACE(size);
    useSuffix(freshSuffix("r"));
    fs::create_directories(logDir(suffix_));
    const std::string old = std::string(static_cast<size_t>(size) - 2, 'x') + "\r\n";
    writeFile(logPath(), old);
    writeFile(rotatedPath(), "older\r\n");
    Child companion(program(), {});
    EXPECT_EQ(exitCode(companion), 240u);
    const std::string log = readFile(logPath());
    if (size > 10485760) {
      EXPECT_EQ(readFile(rotatedPath()), old);
      EXPECT_EQ(log.substr(0, 2), "\r\n");
      EXPECT_LT(log.size(), 4096u);
    } else {
      EXPECT_EQ(readFile(rotatedPath()), "older\r\n");
      EXPECT_EQ(log.compare(0, old.size(), old), 0);
      EXPECT_GT(log.size(), old.size());
    }
    EXPECT_EQ(lastMessage(), "Logger stoped");
  }
}

TEST_F(CompanionTest, SuffixFileIsFoundBesideTheProgramOnAnyPath) {
  fs::path longDir = dir_.path();
  for (int i = 0; i < 6; ++i) longDir /= std::string(50, 'd');
  const std::pair<const char*, fs::path> cases[] = {
      // Longer than the 261 units of the module path buffer's first size.
      {"beyond MAX_PATH", longDir},
      // Outside the BMP: the module path holds a surrogate pair.
      {"non-ASCII", dir_.path() / companion::pathFromUtf8("d\xC3\xAFr-\xF0\x9F\x98\x80")},
  };
  for (const auto& [name, dir] : cases) {
    SCOPED_TRACE(name);
    placeProgram(dir);
    useSuffix(freshSuffix("p"));
    Child companion(program(), {});
    ASSERT_TRUE(companion.ok());
    EXPECT_EQ(exitCode(companion), 240u);
    // The log directory is named by the suffix file, so the program found its own directory.
    EXPECT_TRUE(fs::exists(logPath()));
  }
  EXPECT_GT(longDir.wstring().size(), 300u);
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
