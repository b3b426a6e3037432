#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace orvelle::text {
namespace {

// What could end a log line, hide part of it or pass for another name is written as %XX;
// the rest stays readable. Every case reads back to its exact bytes.
TEST(TextTest, EscapeLineKeepsOneLineAndReadsBack) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"/data/orders 2024.mdb", "/data/orders 2024.mdb"},
      {"C:\\Data\\\xC3\x84rger.mdb", "C:\\Data\\\xC3\x84rger.mdb"},  // Ärger stays
      {"x\r\nSuccess => forged.mdb", "x%0D%0ASuccess => forged.mdb"},
      {"tab\there", "tab%09here"},
      {std::string("nul\0.mdb", 8), "nul%00.mdb"},
      {"del\x7F", "del%7F"},
      {"\xFF\xFE.mdb", "%FF%FE.mdb"},               // no UTF-8 at all
      {"cut\xC3", "cut%C3"},                        // a sequence cut short
      {"\xC0\xAF.mdb", "%C0%AF.mdb"},               // overlong "/"
      {"\xED\xA0\x80.mdb", "%ED%A0%80.mdb"},        // a surrogate
      {"next\xC2\x85line", "next%C2%85line"},       // NEL (C1 control)
      {"sep\xE2\x80\xA8", "sep%E2%80%A8"},          // line separator
      {"gpj.\xE2\x80\xAEmdb", "gpj.%E2%80%AEmdb"},  // right-to-left override
      {"a%20b.mdb", "a%2520b.mdb"},                 // would read as a space
      {"100%.mdb", "100%.mdb"},                     // a lone "%" stays
      {"%g1 %4", "%g1 %4"},
      {"%%41", "%%2541"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeLine(c.in), c.out) << c.in;
    EXPECT_EQ(UnescapeLine(EscapeLine(c.in)), c.in) << c.in;
  }
  // Any bytes at all come back unchanged.
  uint32_t seed = 7;
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (int i = round % 23; i >= 0; --i) {
      seed = seed * 1103515245u + 12345u;
      const char pick[] = {'%', 'A', 'f', '1', '\r', '\n', '\xC3', '\xA4', '\xE2', '\x80'};
      bytes += (seed >> 28) < 10 ? pick[seed >> 28] : static_cast<char>(seed >> 20);
    }
    const std::string line = EscapeLine(bytes);
    ASSERT_EQ(UnescapeLine(line), bytes);
    ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos);
  }
}

// Each length of sequence at both of its ends reads back as the code point it came from.
TEST(TextTest, AppendUtf8WritesWhatNextCodePointReads) {
  const struct {
    char32_t cp;
    const char* bytes;
  } cases[] = {{0x01, "\x01"},
               {0x7F, "\x7F"},
               {0x80, "\xC2\x80"},
               {0x7FF, "\xDF\xBF"},
               {0x800, "\xE0\xA0\x80"},
               {0xFFFD, "\xEF\xBF\xBD"},
               {0x10000, "\xF0\x90\x80\x80"},
               {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
  for (const auto& c : cases) {
    std::string out = "x";
    AppendUtf8(out, c.cp);
    EXPECT_EQ(out.substr(1), c.bytes) << std::hex << c.cp;
    size_t pos = 1;
    char32_t back = 0;
    EXPECT_TRUE(NextCodePoint(out, pos, back)) << std::hex << c.cp;
    EXPECT_EQ(back, c.cp);
    EXPECT_EQ(pos, out.size());
  }
}

TEST(TextTest, LowerAsciiLowersOnlyTheLettersAToZ) {
  EXPECT_EQ(LowerAscii("DAO.DBEngine.120 @[`{"), "dao.dbengine.120 @[`{");
  EXPECT_EQ(LowerAscii("\xC3\x84RGER"), "\xC3\x84rger");  // Ä stays, as do UTF-8 bytes
  EXPECT_EQ(LowerAscii('Z'), 'z');
  EXPECT_EQ(LowerAscii('\xC3'), '\xC3');
}

TEST(TextTest, NextCodePointDecodesAndPassesOverBadBytes) {
  const std::string s = "a\xC3\xA4\xF0\x9F\x98\x80\xFF";
  size_t pos = 0;
  char32_t cp = 0;
  ASSERT_TRUE(NextCodePoint(s, pos, cp));
  EXPECT_EQ(cp, U'a');
  ASSERT_TRUE(NextCodePoint(s, pos, cp));
  EXPECT_EQ(cp, U'\u00E4');
  ASSERT_TRUE(NextCodePoint(s, pos, cp));
  EXPECT_EQ(cp, U'\U0001F600');
  EXPECT_FALSE(NextCodePoint(s, pos, cp));
  EXPECT_EQ(cp, 0xFFu);
  EXPECT_EQ(pos, s.size());
  EXPECT_FALSE(NextCodePoint(s, pos, cp));
  EXPECT_EQ(pos, s.size());
}

}  // namespace
}  // namespace orvelle::text
