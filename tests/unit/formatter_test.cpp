// The positional formatter and formatData.
#include <gtest/gtest.h>

#include <climits>

#include "formatter.h"
#include "logger.h"

namespace {

using companion::Formatter;

TEST(FormatterTest, RendersTheDocumentedCases) {
  struct Case {
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"Return code: 0", Formatter("Return code: %1", 0).str()},
      {"Return code: -1", Formatter("Return code: %1", -1).str()},
      {"Suffix for log: ''", Formatter("Suffix for log: '%1'", std::string()).str()},
      {"Get stdin handle, error: 6", Formatter("Get %1 handle, error: %2", "stdin", 6u).str()},
      {"Read from a, size: 2, data: %3", Formatter("Read from %1, size: %2, data: %3", "a", 2).str()},
      {"%10", Formatter("%10", "x").str()},
      {"j", Formatter("%10", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j").str()},
      {"%102", Formatter("%102", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j").str()},
      {"abab", Formatter("%1%1", "ab").str()},
      {"b-a", Formatter("%2-%1", "a", "b").str()},
      {"%2 b", Formatter("%1 %2", "%2", "b").str()},
      {"100%", Formatter("100%").str()},
      {"%", Formatter("%%").str()},
      {"%x", Formatter("%x").str()},
      {"%1", Formatter("%%1", "a").str()},
      {"%a", Formatter("%%%1", "a").str()},
      {"a", Formatter("%01", "a").str()},
      {"%0", Formatter("%0", "a").str()},
      {"%99999999999999999999", Formatter("%99999999999999999999", "a").str()},
      {"", Formatter("", "a").str()},
      {"plain text", Formatter("plain text", "a").str()},
      {"-2147483648 4294967295", Formatter("%1 %2", INT32_MIN, UINT32_MAX).str()},
      {"h\xC3\xA9 x \xF0\x9F\x98\x80", Formatter("h\xC3\xA9 %1 \xF0\x9F\x98\x80", "x").str()},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(FormatterTest, StrIsRepeatable) {
  const Formatter formatter("%1-%2", "a", 5);
  EXPECT_EQ(formatter.str(), "a-5");
  EXPECT_EQ(formatter.str(), "a-5");
}

TEST(FormatDataTest, EscapesEverythingButPrintableAscii) {
  const uint8_t bytes[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x41, 0x0A, 0xFF};
  EXPECT_EQ(companion::formatData(bytes, sizeof bytes), "\\0x00\\0x1f ~\\0x7f\\0x80A\\0x0a\\0xff");
  EXPECT_EQ(companion::formatData(bytes, 0), "");
}

}  // namespace
