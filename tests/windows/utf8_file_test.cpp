// The Windows layer's UTF-8 conversion and the log file it appends to.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "file.h"
#include "temp_dir.h"
#include "test_files.h"
#include "utf8_win.h"

namespace {

using companion::utf8ToWide;
using companion::wideToUtf8;

TEST(Utf8Conversion, RoundTripsEveryPlane) {
  const std::pair<std::string, std::wstring> cases[] = {
      {"", L""},
      {"plain", L"plain"},
      {"\xC3\xA9", L"\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      // Outside the BMP: one 4-byte sequence is one surrogate pair.
      {"a\xF0\x9F\x98\x80z", {L'a', wchar_t(0xD83D), wchar_t(0xDE00), L'z'}},
  };
  for (const auto& [utf8, wide] : cases) {
    EXPECT_EQ(utf8ToWide(utf8), wide) << utf8;
    EXPECT_EQ(wideToUtf8(wide), utf8);
  }
}

TEST(Utf8Conversion, InvalidInputBecomesReplacementCharacters) {
  // How many U+FFFD one bad sequence gives differs between Windows releases
  // and Wine; at least one, and the text around it stays.
  for (const char* bad : {"\xFF", "\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
    const std::wstring wide = utf8ToWide(std::string("<") + bad + ">");
    ASSERT_GE(wide.size(), 3u) << bad;
    EXPECT_EQ(wide.front(), L'<');
    EXPECT_EQ(wide.back(), L'>');
    EXPECT_EQ(wide.find_first_not_of(wchar_t(0xFFFD), 1), wide.size() - 1);
  }
  EXPECT_EQ(wideToUtf8(std::wstring{L'<', wchar_t(0xD800), L'>'}), "<\xEF\xBF\xBD>");
  EXPECT_EQ(companion::pathFromUtf8("a\xFF").wstring(), (std::wstring{L'a', wchar_t(0xFFFD)}));
}

TEST(AppendFile, WritersShareTheFileAndOnlyAppend) {
  const companion_support::TempDir dir("companion-append");
  const std::string path = wideToUtf8((dir.path() / L"log-\u00E9.txt").wstring());
  companion_test::writeFile(companion::pathFromUtf8(path), std::string("old") + companion::kLineEnd);

  companion::AppendFile first;
  companion::AppendFile second;
  ASSERT_TRUE(first.open(path));
  ASSERT_TRUE(second.open(path));
  EXPECT_TRUE(first.append("one\r\n", 5));
  EXPECT_TRUE(second.append("two\r\n", 5));
  EXPECT_TRUE(first.append("three\r\n", 7));
  EXPECT_EQ(companion_test::readFile(companion::pathFromUtf8(path)), "old\r\none\r\ntwo\r\nthree\r\n");
  EXPECT_FALSE(companion::AppendFile().open(wideToUtf8((dir.path() / L"missing" / L"x.log").wstring())));
  first.close();
  second.close();
}

TEST(AppendFile, AppendsWhileAnotherHandleHoldsTheRotationLock) {
  // Windows refuses a write into a range that another handle has locked: a
  // start-up that rotates must not cost another companion its records.
  const companion_support::TempDir dir("companion-lock");
  const std::string path = wideToUtf8((dir.path() / L"companion.log").wstring());
  companion_test::writeFile(companion::pathFromUtf8(path), "old\r\n");
  const companion::FileLock lock(path);
  ASSERT_TRUE(lock.holds(path));
  companion::AppendFile file;
  ASSERT_TRUE(file.open(path));
  EXPECT_TRUE(file.append("new\r\n", 5));
  file.close();
  EXPECT_EQ(companion_test::readFile(companion::pathFromUtf8(path)), "old\r\nnew\r\n");
}

}  // namespace
