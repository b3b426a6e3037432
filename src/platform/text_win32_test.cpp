#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace orvelle::text {
namespace {

TEST(TextWin32, Utf16Conversions) {
  // "aÄ€😀" in UTF-16LE: one surrogate pair at the end.
  const std::string le("a\0\xC4\0\xAC\x20\x3D\xD8\x00\xDE", 10);
  const std::string utf8 = "a\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16LeToUtf8(le), utf8);
  EXPECT_EQ(Utf8ToUtf16Le(utf8), le);
  EXPECT_EQ(Utf16BeToUtf8(std::string("\0a\0\xC4", 4)), "a\xC3\x84");
  // A lone surrogate and an odd last byte each become U+FFFD.
  EXPECT_EQ(Utf16LeToUtf8(std::string("\x3D\xD8x\0", 4)), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16LeToUtf8(std::string("x\0y", 3)), "x\xEF\xBF\xBD");
  EXPECT_EQ(SanitizeUtf8("ok\xFFok"), "ok\xEF\xBF\xBDok");
  EXPECT_EQ(Utf16LeToUtf8(""), "");
}

TEST(TextWin32, CaseInsensitiveComparison) {
  const struct {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"File.MDB", "file.mdb", 0},
      {"\xC3\x84rger", "\xC3\xA4RGER", 0},                          // Ärger / äRGER
      {"\xCE\x91\xCE\x92\xCE\x93", "\xCE\xB1\xCE\xB2\xCE\xB3", 0},  // Greek
      {"\xD0\x96", "\xD0\xB6", 0},                                  // Cyrillic Zhe
      {"a", "B", -1},
      {"b", "A", 1},
      {"abc", "ab", 1},
      {"", "", 0},
      {"a.mdb", "a.accdb", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareTextI(c.a, c.b), c.expected) << c.a << " / " << c.b;
    EXPECT_EQ(CompareTextI(c.b, c.a), -c.expected) << c.b << " / " << c.a;
  }
  EXPECT_EQ(UpperCase("\xC3\xA4rger.mdb"), "\xC3\x84RGER.MDB");
  EXPECT_EQ(LowerCase("\xC3\x84RGER.MDB"), "\xC3\xA4rger.mdb");
  EXPECT_TRUE(SameTextAscii("Skip", "sKIP"));
  EXPECT_FALSE(SameTextAscii("\xC3\x84", "\xC3\xA4"));
}

TEST(TextWin32, AnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "the checks are written for code page 1252";
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xE9 \x80");
  EXPECT_EQ(AnsiToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  // No look-alike: a character the code page lacks becomes "?".
  EXPECT_EQ(Utf8ToAnsi("\xC4\x81\xD0\x96"), "??");
  EXPECT_EQ(Utf8ToAnsi(""), "");
  // A log line keeps what the code page holds and writes the rest as its UTF-8 bytes.
  EXPECT_EQ(EscapedLineToAnsi("caf\xC3\xA9 \xC5\x82\xD0\x96 %0A"), "caf\xE9 %C5%82%D0%96 %0A");
}

}  // namespace
}  // namespace orvelle::text
