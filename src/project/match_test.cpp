#include <gtest/gtest.h>

#include "project/match.h"
#include "project/regex.h"

namespace orvelle {
namespace {

TEST(MatchTest, WildcardToRegexTable) {
  const struct {
    const char* mask;
    const char* regex;
  } cases[] = {
      {"*.*db", ".*\\..*db$"},
      {"*.mdb", ".*\\.mdb$"},
      {"data?.mdb", "data.?\\.mdb$"},
      {"a+b(1).mdb", "a\\+b\\(1\\)\\.mdb$"},
      {"", "$"},
      {"^x$[a]{2}", "\\^x\\$\\[a\\]\\{2\\}$"},
      {"a\\b|c,d", "a\\b|c,d$"},  // backslash, bar and comma pass unchanged
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardToRegex(c.mask), c.regex) << c.mask;
}

TEST(MatchTest, MaskFilterOnFullPaths) {
  TkxMatch match;
  const struct {
    const char* path;
    const char* mask;
    bool accepted;
  } cases[] = {
      {"/db/orders.mdb", "*.mdb", true},
      {"/db/ORDERS.MDB", "*.mdb", true},  // letter case ignored
      {"/db/orders.mdb.bak", "*.mdb", false},
      {"/db/data.mdb", "data?.mdb", true},  // "?" may match nothing
      {"/db/data1.mdb", "data?.mdb", true},
      {"/db/box.mdb", "x.mdb", true},  // not anchored at the start
      {"/db/a.ldb", "*.*db", true},    // lock files too
      {"/db/a.laccdb", "*.*db", true},
      {"/db/a.txt", "*.*db", false},
      {"/any/thing", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(match.IsMatch(c.path, WildcardToRegex(c.mask)), c.accepted)
        << c.path << " " << c.mask;
  }
}

TEST(MatchTest, RegExtCasesAndBrokenPatternsAccept) {
  TkxMatch match;
  EXPECT_TRUE(match.IsMatch("/db/2024/a.mdb", "2024"));  // folders count
  EXPECT_FALSE(match.IsMatch("/db/2023/a.mdb", "2024"));
  EXPECT_TRUE(match.IsMatch("/db/a.mdb", "[unclosed"));
  EXPECT_TRUE(match.IsMatch("/db/a.mdb", "(a"));
  // The same pattern asked again after others gives the same answers (compiled once per thread).
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(match.IsMatch("/db/A.MDB", ".*\\.mdb$"));
    EXPECT_FALSE(match.IsMatch("/db/a.txt", ".*\\.mdb$"));
    EXPECT_TRUE(match.IsMatch("/db/a.txt", "[bad"));
    EXPECT_FALSE(match.IsMatch("/db/a.txt", "2024"));
  }
  EXPECT_TRUE(TkxMatchBase().IsMatch("anything", "nothing"));
}

// Letter case is ignored in every script, for masks and for "RegExt" alike, and a letter
// outside ASCII is one character for "?" and ranges.
TEST(MatchTest, LetterCaseIsIgnoredBeyondAscii) {
  TkxMatch match;
  const struct {
    const char* path;
    const char* pattern;
    bool mask;  // a file mask, else a regular expression
    bool accepted;
  } cases[] = {
      {"/db/\xC3\x84rger.mdb", "\xC3\xA4*.mdb", true, true},     // Ärger / ä*
      {"/db/\xC3\xA4rger.mdb", "\xC3\x84RGER.MDB", true, true},  // ärger / ÄRGER
      {"/db/\xC3\xBC"
       "ber.accdb",
       "\xC3\x9C*.*db", true, true},  // über / Ü*
      {"/db/\xCE\xA3\xCE\xA5\xCE\x9D.mdb", "\xCF\x83\xCF\x85\xCE\xBD.mdb", true,
       true},  // ΣΥΝ / συν
      {"/db/\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.mdb", "\xD0\xBE\xD1\x82*", true,
       true},                                                             // Отчёт / от*
      {"/db/\xC3\xA9t\xC3\xA9.mdb", "?t?.mdb", true, true},               // été: "?" is é
      {"/db/\xC3\x84rger.mdb", "^/db/\xC3\xA4rger\\.mdb$", false, true},  // RegExt
      {"/db/\xC3\x84rger.mdb", "/[\xC3\xA0-\xC3\xBE]rger", false, true},  // à-þ holds Ä
      {"/db/Arger.mdb", "\xC3\xA4*.mdb", true, false},                    // A is no Ä
      {"/db/\xC3\x84rger.mdb", "\xC3\xA4*.mdb", true, true},
  };
  for (const auto& c : cases) {
    const std::string pattern = c.mask ? WildcardToRegex(c.pattern) : std::string(c.pattern);
    EXPECT_EQ(match.IsMatch(c.path, pattern), c.accepted) << c.path << " " << c.pattern;
  }
  EXPECT_FALSE(regex::RegexIsMatch("\xC3\x84", "\xC3\xA4", 0));  // only when asked
}

TEST(RegexTest, TestReplaceAndOptions) {
  EXPECT_EQ(regex::RegexReplace("file:///data/a.mdb", "^file:/*", "", 0), "data/a.mdb");
  EXPECT_EQ(regex::RegexReplace("FILE:///data", "^file:/*", "", 0), "FILE:///data");  // case counts
  EXPECT_EQ(regex::RegexReplace("a1b2c3", "[0-9]", "#", 0), "a#b2c3");                // first only
  EXPECT_EQ(regex::RegexReplace("abc", "(b)", "[$1]", 0), "a[b]c");
  EXPECT_TRUE(regex::RegexIsMatch("ABC", "b", regex::kIgnoreCase));
  EXPECT_FALSE(regex::RegexIsMatch("ABC", "b", 0));
  EXPECT_FALSE(regex::RegexIsMatch("a\nb", "^b", 0));
  EXPECT_TRUE(regex::RegexIsMatch("a\nb", "^b", regex::kMultiline));
  EXPECT_FALSE(regex::RegexIsMatch("x.mdb\n", "mdb$", 0));
  EXPECT_THROW(regex::Compile("[abc", 0), regex::RegexError);
}

}  // namespace
}  // namespace orvelle
