// The one fixture of the Windows end-to-end tests: the real companion.exe
// between the stand-in browser (Child) and the stand-in agent, on real named
// and anonymous pipes, with a private program directory and suffix per test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "launcher.h"
#include "log_records.h"
#include "temp_dir.h"
#include "test_files.h"
#include "test_pattern.h"
#include "utf8_win.h"

namespace companion_test {

namespace fs = std::filesystem;
using companion_support::removeTree;
using companion_support::TempDir;
using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;
constexpr char kInfo[] = "[INFO]    ";
constexpr char kWarning[] = "[WARNING] ";
constexpr char kError[] = "[ERROR]   ";
constexpr char kDebug[] = "[DEBUG]   ";

fs::path testProgramDir();
// SHA-1 from the system's BCrypt, independent of the companion's own digest.
std::string sha1Hex(const std::string& text);
std::string localAppData();
bool underWine();
// The child's exit code, with a test failure when it outlives kTimeout.
DWORD exitCode(Child& child);
// Echoed bytes came back: both pumps have relayed once.
void roundTrip(Child& companion, const std::string& bytes);
// Where two byte strings first differ; npos when they are equal.
size_t firstDifference(const std::string& a, const std::string& b);

// While it lives, the programs a test starts have their C runtime calls
// traced by Wine; CTest fails the test on a stat of a path holding '?' in
// that trace (tests/windows/CMakeLists.txt), which Windows' C runtime
// refuses though Wine's takes it.
class TracedRuntimeCalls {
 public:
  TracedRuntimeCalls() {
    const DWORD length = GetEnvironmentVariableW(L"WINEDEBUG", before_, MAX_PATH);
    had_ = length > 0 && length < MAX_PATH;
    SetEnvironmentVariableW(L"WINEDEBUG", L"trace+msvcrt");
  }
  ~TracedRuntimeCalls() { SetEnvironmentVariableW(L"WINEDEBUG", had_ ? before_ : nullptr); }
  TracedRuntimeCalls(const TracedRuntimeCalls&) = delete;
  TracedRuntimeCalls& operator=(const TracedRuntimeCalls&) = delete;

 private:
  wchar_t before_[MAX_PATH] = {};
  bool had_ = false;
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
  // The pipe's suffix: the log's, each '.' a '-'.
  std::string socketSuffix() const {
    std::string suffix = logSuffix();
    std::replace(suffix.begin(), suffix.end(), '.', '-');
    return suffix;
  }
  std::string logDirText() const { return appData_ + "/QM/quillmere2" + logSuffix() + "/logs"; }
  fs::path logDir(const std::string& suffix) const {
    const fs::path dir = fs::path(companion::utf8ToWide(appData_)) / "QM" /
                         ("quillmere2" + (suffix.empty() ? "" : "." + suffix)) / "logs";
    if (suffix.empty() || (suffix.back() != ' ' && suffix.back() != '.')) return dir;
    // Windows drops a name's trailing space or dot unless the path is in its \\?\ form.
    std::wstring verbatim = dir.wstring();
    std::replace(verbatim.begin(), verbatim.end(), L'/', L'\\');
    return fs::path(L"\\\\?\\" + verbatim);
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
  std::vector<Record> lastRun() const { return parseLastRun(readFile(logPath())).records; }
  std::vector<std::string> lastRunMessages(const char* tag = nullptr) const {
    return parseLastRun(readFile(logPath())).messages(tag);
  }
  std::string lastMessage() const {
    const std::vector<std::string> messages = lastRunMessages();
    return messages.empty() ? std::string() : messages.back();
  }
  bool logged(const std::string& message) const {
    const std::vector<std::string> messages = lastRunMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }

  TempDir dir_{"companion-e2e"};
  // The user's local application data folder, as UTF-8.
  std::string appData_ = localAppData();
  fs::path programDir_;
  std::string suffix_;
  std::vector<std::string> suffixes_;
};

}  // namespace companion_test
