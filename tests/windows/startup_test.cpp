// Start-up of companion.exe: the version query, the first records, the full log, debug records, rotation and the suffix file beside the program.
#include "fixture.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>

#include "file.h"
#include "support.h"
#include "version.h"

namespace companion_test {
namespace {

TEST_F(CompanionTest, OnlyTheExactVersionArgumentPrintsTheVersion) {
  struct Case {
    std::vector<std::string> args;
    DWORD code;
    std::string output;
  };
  const Case cases[] = {
      {{"--version"}, 0, std::string("Version: ") + companion::kVersion + "\r\n"},
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

TEST_F(CompanionTest, StartRecordsNameTheLogPathTheUserAndThePipe) {
  // A suffix may end in a space or a dot, which Windows drops from a name: the log is where it says all the same.
  const TracedRuntimeCalls traced;
  for (const std::string& suffix :
       {std::string(), freshSuffix("s"), freshSuffix("s") + " ", freshSuffix("s") + ".", freshSuffix("x") + ".."}) {
    SCOPED_TRACE("suffix '" + suffix + "'");
    useSuffix(suffix);
    Child companion(program(), {});
    EXPECT_EQ(exitCode(companion), 240u);
    const std::vector<std::string> expected = {
        "Logger started: " + logDirText() + "/companion.log, version " + std::string(companion::kVersion) + ", windows",
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
  // One message as a browser frames it: its 4-byte length, then the bytes.
  roundTrip(companion, std::string("\x04\0\0\0ping", 8));
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
      {kInfo, "Logger started: " + logDirText() + "/companion.log, version " + std::string(companion::kVersion) + ", windows", "companion.cpp"},
      {kInfo, "Suffix for log: '" + logSuffix() + "'", "companion.cpp"},
      {kInfo, "Suffix for socket: '" + socketSuffix() + "'", "companion.cpp"},
      {kInfo, "User id: " + userSid(), "companion.cpp"},
      {kInfo, "Socket path: " + pipeName(), "companion.cpp"},
      {kInfo, "Connect to socket path: " + pipeName(), "companionwindows.cpp"},
      {kInfo, "Connected to socket", "companion.cpp"},
      {kInfo, "Connected to std", "companion.cpp"},
      {kInfo, "Loop started", "companion.cpp"},
      {kError, "Read from stdin, error 109", "relay_pumps.cpp"},
      {kError, "Read from socketIn, error 995", "relay_pumps.cpp"},
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
    // The zone and the frame of each field are checked by the parser.
    EXPECT_EQ(records[i].processId, companion.pid());
    EXPECT_EQ(records[i].tag, expected[i].tag);
    EXPECT_EQ(records[i].message, expected[i].message);
    const std::regex location(std::string(R"(.*[/\\])") + expected[i].file + R"(:\d+)");
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
  const TracedRuntimeCalls traced;
  for (const auto& [size, end] : {std::pair<uintmax_t, const char*>{10485760, ""}, {10485761, ""}, {10485761, " "}}) {
    SCOPED_TRACE(std::to_string(size) + " bytes, suffix ending in '" + end + "'");
    useSuffix(freshSuffix("r") + end);
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

TEST_F(CompanionTest, StartRotatesALogThatARunningCompanionHoldsOpen) {
  // An extension that keeps its port open keeps a companion, and its log,
  // open for the whole browser session. Later starts rotate all the same:
  // the running one's records go on in the predecessor, and nowhere once a
  // second rotation has removed that.
  writeFile(programDir_ / "companion.debug", "");
  const auto agent = startAgent({"--echo", "--clients", "3"});
  Child running(program(), {});
  roundTrip(running, "before");
  for (const bool predecessorHeld : {false, true}) {
    SCOPED_TRACE(predecessorHeld ? "the predecessor is held too" : "only the log is held");
    const std::string old = std::string(10485761 - 4, 'x') + "\r\n\r\n";
    writeFile(logPath(), old);
    Child next(program(), {});
    roundTrip(next, "next");
    next.closeStdin();
    EXPECT_EQ(exitCode(next), 246u);
    const std::vector<Record> fresh = parseLog(readFile(logPath())).records;
    EXPECT_TRUE(!fresh.empty() && fresh.front().processId == next.pid());
    roundTrip(running, "after");
    const std::string rotated = readFile(rotatedPath());
    EXPECT_EQ(rotated.compare(0, old.size(), old), 0);
    const std::vector<Record> held = parseLastRun(rotated).records;
    EXPECT_EQ(!held.empty() && held.back().processId == running.pid(), !predecessorHeld);
  }
  running.closeStdin();
  EXPECT_EQ(exitCode(running), 246u);
}

TEST_F(CompanionTest, ProfileFolderNamedOutsideAsciiHoldsTheLogAndLeavesThePipeAsItIs) {
  // An accented letter, a CJK name and a character outside the BMP.
  const fs::path folder = dir_.path() / companion::utf8ToWide("Zo\xC3\xAB \xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x98\x80");
  constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  wchar_t before[MAX_PATH] = {};
  DWORD size = sizeof before;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kShellFolders, L"Local AppData", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                         nullptr, before, &size), ERROR_SUCCESS);
  const auto setFolder = [&](const std::wstring& path) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, L"Local AppData", REG_EXPAND_SZ, path.c_str(),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(setFolder(folder.wstring()), ERROR_SUCCESS);
  const std::unique_ptr<void, std::function<void(void*)>> restore(&before, [&](void*) { setFolder(before); });
  appData_ = companion::wideToUtf8(folder.wstring());
  const auto agent = startAgent({"--echo"});
  Child companion(program(), {});
  roundTrip(companion, "through a profile outside ASCII");
  companion.closeStdin();
  EXPECT_EQ(exitCode(companion), 246u);
  const std::vector<std::string> messages = lastRunMessages();
  ASSERT_FALSE(messages.empty()) << "no log in " << appData_;
  EXPECT_EQ(messages.front(),
            "Logger started: " + logDirText() + "/companion.log, version " + companion::kVersion + ", windows");
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

}  // namespace
}  // namespace companion_test
