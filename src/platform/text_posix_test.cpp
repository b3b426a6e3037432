#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace orvelle::text {
namespace {

TEST(TextTest, CompareFoldsLettersBeyondAscii) {
  struct Case {
    const char* a;
    const char* b;
  };
  const Case same[] = {
      {"Subdir", "SUBDIR"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"},                // été / ÉTÉ
      {"\xD0\xBF\xD1\x80\xD0\xB8", "\xD0\x9F\xD0\xA0\xD0\x98"},  // при / ПРИ
      {"\xCE\xB1\xCE\xB2", "\xCE\x91\xCE\x92"},                  // αβ / ΑΒ
      {"\xC5\x82\xC3\xB3"
       "d\xC5\xBA",
       "\xC5\x81\xC3\x93"
       "D\xC5\xB9"},  // łódź / ŁÓDŹ
      {"", ""},
  };
  for (const auto& c : same) {
    EXPECT_EQ(CompareTextI(c.a, c.b), 0) << c.a << " vs " << c.b;
    EXPECT_TRUE(SameTextI(c.b, c.a));
  }
  EXPECT_LT(CompareTextI("abc", "ABD"), 0);
  EXPECT_GT(CompareTextI("abcd", "ABC"), 0);
  EXPECT_LT(CompareTextI("", "a"), 0);
  EXPECT_FALSE(SameTextI("Source ", "Source"));
}

// Unicode's simple case folding, from the table generated from CaseFolding.txt.
TEST(TextTest, FoldCaseCoversEveryScript) {
  const struct {
    char32_t in;
    char32_t out;
  } cases[] = {
      {U'A', U'a'},
      {U'a', U'a'},
      {U'\u00C4', U'\u00E4'},  // Ä
      {U'\u00E4', U'\u00E4'},
      {U'\u00DF', U'\u00DF'},
      {U'\u1E9E', U'\u00DF'},  // ẞ
      {U'\u03A3', U'\u03C3'},
      {U'\u03C2', U'\u03C3'},  // Σ, ς
      {U'\u0416', U'\u0436'},
      {U'\u0531', U'\u0561'},  // Ж, Ա
      {U'\u10A0', U'\u2D00'},
      {U'\u212A', U'k'},  // Ⴀ, Kelvin
      {U'\u017F', U's'},
      {U'\uFF21', U'\uFF41'},  // ſ, Ａ
      {U'\uAB70', U'\u13A0'},
      {U'\U00010400', U'\U00010428'},  // Cherokee, Deseret
      {U'\U0001E900', U'\U0001E922'},
      {U'1', U'1'},
      {U'\u4E2D', U'\u4E2D'},  // Adlam, 中
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<uint32_t>(FoldCase(c.in)), static_cast<uint32_t>(c.out))
        << std::hex << static_cast<uint32_t>(c.in);
  }
  // Bytes that are no UTF-8 survive the way through matching text.
  const std::string raw = "a\xFF\xC3\x84\xC3";
  EXPECT_EQ(ToMatchText(raw),
            (std::wstring{L'a', wchar_t(0xDCFF), wchar_t(0xC4), wchar_t(0xDCC3)}));
  EXPECT_EQ(FromMatchText(ToMatchText(raw)), raw);
}

TEST(TextTest, UpperAndLowerCase) {
  EXPECT_EQ(UpperCase("abc \xC3\xA4\xC3\xB6\xC3\xBC \xC3\x9F"),
            "ABC \xC3\x84\xC3\x96\xC3\x9C \xC3\x9F");
  EXPECT_EQ(LowerCase("ABC \xC3\x84\xD0\x96"), "abc \xC3\xA4\xD0\xB6");
  EXPECT_EQ(UpperCase("\xC3\xBF"), "\xC5\xB8");  // ÿ -> Ÿ
}

TEST(TextTest, SameTextAsciiFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(SameTextAscii("skip", "SKIP"));
  EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89"));
  EXPECT_FALSE(SameTextAscii("ab", "abc"));
}

TEST(TextTest, SanitizeReplacesInvalidSequences) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC3", fffd},                                   // cut short at the end
      {"\xC0\xAF", fffd + fffd},                        // overlong slash
      {"\xED\xA0\x80", fffd + fffd + fffd},             // encoded surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},         // emoji kept
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(SanitizeUtf8(c.in), c.out);
}

TEST(TextTest, Utf16RoundTripsAndMarksBrokenUnits) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
  const std::string le = Utf8ToUtf16Le(text);
  EXPECT_EQ(le, std::string("A\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10));
  EXPECT_EQ(Utf16LeToUtf8(le), text);
  std::string be;
  for (size_t i = 0; i + 1 < le.size(); i += 2) {
    be += le[i + 1];
    be += le[i];
  }
  EXPECT_EQ(Utf16BeToUtf8(be), text);
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16LeToUtf8(std::string("\x3D\xD8"
                                      "A\0",
                                      4)),
            fffd + "A");                                         // lone high surrogate
  EXPECT_EQ(Utf16LeToUtf8(std::string("\x00\xDC", 2)), fffd);    // lone low surrogate
  EXPECT_EQ(Utf16LeToUtf8(std::string("A\0B", 3)), "A" + fffd);  // odd byte count
}

#ifndef _WIN32
TEST(TextTest, AnsiConversionKeepsTextInAUtf8Locale) {
  // The test environment runs in the C or a UTF-8 locale, where the code page is UTF-8.
  EXPECT_EQ(Utf8ToAnsi("D:\xC3\xA9t\xC3\xA9"), "D:\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(AnsiToUtf8("x\xE9y"), "x\xEF\xBF\xBDy");
}
#endif

}  // namespace
}  // namespace orvelle::text
