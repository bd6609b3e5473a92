// The log file, the record format and concurrent logging, on real files.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <thread>

#include "fake_platform.h"
#include "log_record.h"

namespace {

using companion::LoggerLevel;
using namespace companion_test;

// The tab-separated fields of a line, for checking the record format itself.
std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { companion::debugEnabled = false; }
  void TearDown() override {
    companion::debugEnabled = false;
    companion::setLogCallback(companion::LogCallback());
  }
  std::string logPath() const { return (dir.path() / "companion.log").string(); }
  // After start-up's empty line and its three records.
  static constexpr size_t kFirstNewLine = 4;

  TempDir dir;
};

TEST_F(LoggerTest, OpenAppendsAnEmptyLineAndKeepsEarlierContent) {
  writeFile(logPath(), std::string("earlier") + companion::kLineEnd);
  companion::LogFile file;
  file.open(logPath());
  ASSERT_TRUE(file.isOpen());
  file.writeLine("first");
  file.writeLine("second");
  const std::string le = companion::kLineEnd;
  EXPECT_EQ(readFile(logPath()), "earlier" + le + le + "first" + le + "second" + le);
}

TEST_F(LoggerTest, EachLineIsOnDiskBeforeWriteLineReturns) {
  companion::LogFile file;
  file.open(logPath());
  file.writeLine("visible");
  EXPECT_EQ(readLines(logPath()).size(), 2u);
}

TEST_F(LoggerTest, FailedOpenDropsLines) {
  companion::LogFile file;
  const std::string missing = (dir.path() / "missing" / "companion.log").string();
  file.open(missing);
  EXPECT_FALSE(file.isOpen());
  file.writeLine("lost");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(LoggerTest, CloseStopsWriting) {
  companion::LogFile file;
  file.open(logPath());
  file.close();
  EXPECT_FALSE(file.isOpen());
  file.writeLine("after close");
  EXPECT_EQ(readLines(logPath()).size(), 1u);
}

TEST_F(LoggerTest, RecordHasTheSixTabSeparatedFields) {
  FakePlatform fake;
  fake.startIn(dir.str());
  fake.writeLogLine(LoggerLevel::Info, "Loop %1 100% \t", "/build/src/companion.cpp", 112);
  const std::vector<std::string> lines = readLines(logPath());
  ASSERT_EQ(lines.size(), kFirstNewLine + 1);
  const std::vector<std::string> fields = fieldsOf(lines[kFirstNewLine]);
  ASSERT_EQ(fields.size(), 7u);  // the message itself holds one TAB
  EXPECT_EQ(fields[0].size(), 19u);
  EXPECT_EQ(fields[1], "UTC");
  EXPECT_EQ(fields[2], "[4321]");
  EXPECT_EQ(fields[3], "[INFO]    :");
  EXPECT_EQ(fields[4], "Loop %1 100% ");
  EXPECT_EQ(fields[5], "");
  EXPECT_EQ(fields[6], "[/build/src/companion.cpp:112]");
}

TEST(LogRecordTest, ParserTakesWholeRecordsOnly) {
  const std::string good = "2021-10-11 08:15:42\tUTC\t[-1]\t[ERROR]   :\tRead from\t[x] stdin\t[/src/a.cpp:7]";
  const std::optional<companion::LogRecord> record = companion::parseLogRecord(good);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->processId, -1);
  EXPECT_EQ(record->tag, "[ERROR]   ");
  EXPECT_EQ(record->message, "Read from\t[x] stdin");
  EXPECT_EQ(record->location, "/src/a.cpp:7");
  for (const std::string& bad :
       {std::string(), good.substr(0, good.size() - 1), "2021-10-11 08:15:4x" + good.substr(19),
        "2021-10-11 08:15:42\tCET" + good.substr(23), "2021-10-11 08:15:42\tUTC\t[1x]" + good.substr(28),
        "2021-10-11 08:15:42\tUTC\t[-1]\t[NOTICE]  :" + good.substr(40), good.substr(0, good.rfind(':')) + "]",
        good.substr(0, 41)}) {
    EXPECT_FALSE(companion::parseLogRecord(bad)) << bad;
  }
}

TEST_F(LoggerTest, RecordTimeIsTheCurrentUtcTime) {
  FakePlatform fake;
  fake.startIn(dir.str());
  const auto before = std::chrono::system_clock::now();
  fake.writeLogLine(LoggerLevel::Info, "now", "f", 1);
  const auto after = std::chrono::system_clock::now();
  const std::string time = fieldsOf(readLines(logPath())[kFirstNewLine])[0];
  EXPECT_GE(time, companion::formatUtcTime(before));
  EXPECT_LE(time, companion::formatUtcTime(after));
}

TEST_F(LoggerTest, EveryLevelHasItsTag) {
  FakePlatform fake;
  fake.startIn(dir.str());
  const std::pair<int32_t, const char*> tags[] = {{0, "[DEBUG]   :"}, {1, "[INFO]    :"}, {2, "[WARNING] :"},
                                                  {3, "[ERROR]   :"}, {4, "[CRITICAL]:"}, {7, "[DEBUG]   :"},
                                                  {-1, "[DEBUG]   :"}};
  for (const auto& tag : tags) fake.writeLogLine(static_cast<LoggerLevel>(tag.first), "m", "f", 1);
  const std::vector<std::string> lines = readLines(logPath());
  ASSERT_EQ(lines.size(), kFirstNewLine + std::size(tags));
  for (size_t i = 0; i < std::size(tags); ++i) EXPECT_EQ(fieldsOf(lines[kFirstNewLine + i])[3], tags[i].second);
}

TEST(FormatUtcTimeTest, RendersWholeSecondsOfTheUtcCalendar) {
  using std::chrono::milliseconds;
  const std::pair<int64_t, const char*> cases[] = {
      {0, "1970-01-01 00:00:00"},           {1633940142000, "2021-10-11 08:15:42"},
      {951868799999, "2000-02-29 23:59:59"}, {4107542399000, "2100-02-28 23:59:59"},
      {4107542400000, "2100-03-01 00:00:00"}, {-1, "1969-12-31 23:59:59"}};
  for (const auto& c : cases) {
    EXPECT_EQ(companion::formatUtcTime(std::chrono::system_clock::time_point(milliseconds(c.first))), c.second);
  }
}

int renderCount = 0;
int renderedArgument() { return ++renderCount; }

TEST_F(LoggerTest, DebugStatementIsNotEvenFormattedWhileDebugIsOff) {
  std::vector<std::string> messages;
  companion::setLogCallback([&](LoggerLevel, const std::string& message, const std::string&, int32_t) {
    messages.push_back(message);
  });
  renderCount = 0;
  COMPANION_LOG(LoggerLevel::Debug, "value %1", renderedArgument());
  EXPECT_EQ(renderCount, 0);
  EXPECT_TRUE(messages.empty());
  companion::debugEnabled = true;
  COMPANION_LOG(LoggerLevel::Debug, "value %1", renderedArgument());
  EXPECT_EQ(messages, std::vector<std::string>{"value 1"});
}

TEST_F(LoggerTest, LogWithoutCallbackDoesNothingAndEmptyCallbackClears) {
  companion::log(LoggerLevel::Error, "nowhere", "f", 1);
  int calls = 0;
  companion::setLogCallback([&](LoggerLevel, const std::string&, const std::string&, int32_t) { ++calls; });
  companion::log(LoggerLevel::Error, "somewhere", "f", 1);
  companion::setLogCallback(companion::LogCallback());
  companion::log(LoggerLevel::Error, "nowhere", "f", 1);
  EXPECT_EQ(calls, 1);
}

TEST_F(LoggerTest, TwoThreadsLoggingAtOnceWriteWholeLinesInTheirOrder) {
  FakePlatform fake;
  fake.startIn(dir.str());
  constexpr int kLinesPerThread = 2000;
  const auto writer = [&fake](const std::string& name) {
    for (int i = 0; i < kLinesPerThread; ++i) {
      fake.writeLogLine(LoggerLevel::Info, name + " " + std::to_string(i) + std::string(200, 'x'), "f", i);
    }
  };
  std::thread other(writer, "other");
  writer("main");
  other.join();

  std::map<std::string, int> next;
  const std::vector<std::string> lines = readLines(logPath());
  ASSERT_EQ(lines.size(), kFirstNewLine + 2 * kLinesPerThread);
  for (size_t i = kFirstNewLine; i < lines.size(); ++i) {
    const std::vector<std::string> fields = fieldsOf(lines[i]);
    ASSERT_EQ(fields.size(), 6u) << lines[i];
    const std::string& message = fields[4];
    const size_t space = message.find(' ');
    const std::string name = message.substr(0, space);
    EXPECT_EQ(message, name + " " + std::to_string(next[name]++) + std::string(200, 'x'));
  }
  EXPECT_EQ(next["main"], kLinesPerThread);
  EXPECT_EQ(next["other"], kLinesPerThread);
}

}  // namespace
