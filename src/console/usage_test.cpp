#include "console/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>

#include "test_support.h"

namespace orvelle::console {
namespace {

struct Answer {
  std::optional<int> code;
  std::string out, err;
};

std::string Drain(std::FILE* f) {
  std::string text;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

Answer Ask(const std::string& first) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Answer a;
  a.code = AnswerArgument(first, "1.2.3.4", out, err);
  a.out = Drain(out);
  a.err = Drain(err);
  return a;
}

TEST(Usage, AnswersTheProgramsOwnSwitches) {
  struct Case {
    std::string arg;
    std::optional<int> code;
    std::string out, err;
  };
  const std::string unknown = " (orvelle --help lists the forms)\n";
  const Case cases[] = {
      {"--help", 0, UsageText(), ""},
      {"-h", 0, UsageText(), ""},
      {"--version", 0, "orvelle 1.2.3.4\n", ""},
      {"--verbose", 2, "", "orvelle: unknown option \"--verbose\"" + unknown},
      {"--Report=x.jsonl", 2, "", "orvelle: unknown option \"--Report\"" + unknown},
      {"--", 2, "", "orvelle: unknown option \"--\"" + unknown},
      {"-X", 2, "", "orvelle: unknown option \"-X\"" + unknown},
      {"-hx", 2, "", "orvelle: unknown option \"-hx\"" + unknown},
      {"--\n--help", 2, "", "orvelle: unknown option \"--%0A--help\"" + unknown},
      // The batch's own forms go on to the batch.
      {"-P:Source=/d/*.mdb", std::nullopt, "", ""},
      {"-p", std::nullopt, "", ""},
      {"-U", std::nullopt, "", ""},
      {"-iref=1", std::nullopt, "", ""},
      {"-", std::nullopt, "", ""},
      {"", std::nullopt, "", ""},
      {"/data/a.mdb", std::nullopt, "", ""},
      {"run.batch-tessoly", std::nullopt, "", ""},
  };
  for (const Case& c : cases) {
    const Answer a = Ask(c.arg);
    EXPECT_EQ(a.code, c.code) << c.arg;
    EXPECT_EQ(a.out, c.out) << c.arg;
    EXPECT_EQ(a.err, c.err) << c.arg;
  }
}

TEST(Usage, TextNamesEveryOptionItsDefaultExitCodesAndTheEnvironment) {
  const std::string usage = UsageText();
  for (const OptionDoc& o : BatchOptions()) {
    const std::string pattern = "\n  " + std::string(o.name) + " +" +
                                (o.default_value[0] ? std::string(o.default_value) : "-") + " +";
    EXPECT_TRUE(std::regex_search(usage, std::regex(pattern))) << o.name;
  }
  for (const char* part : {"\n  0  ", "\n  1  ", "\n  2  ", "ORVELLE_QUIET", "--version",
                           "Examples:\n  orvelle \"-P:", "\n  orvelle \"-P:"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
  size_t widest = 0;
  for (size_t at = 0, end; (end = usage.find('\n', at)) != std::string::npos; at = end + 1) {
    widest = std::max(widest, end - at);
  }
  EXPECT_LE(widest, 79u);
}

// The README's option table, the usage text and the manual page name the same options.
TEST(Usage, ReadmeAndManualPageListTheSameOptions) {
  const std::string readme = test::ReadBytes(std::string(ORVELLE_SOURCE_DIR) + "/README.md");
  const std::string manual = test::ReadBytes(std::string(ORVELLE_SOURCE_DIR) + "/man/orvelle.1");
  std::set<std::string> documented, listed;
  const std::regex row("\n\\| `([A-Za-z]+)` \\|");
  const size_t table = readme.find("### Options");
  ASSERT_NE(table, std::string::npos);
  const std::string rows = readme.substr(table, readme.find("\n###", table + 1) - table);
  for (std::sregex_iterator it(rows.begin(), rows.end(), row), end; it != end; ++it) {
    documented.insert((*it)[1]);
  }
  for (const OptionDoc& o : BatchOptions()) {
    listed.insert(o.name);
    EXPECT_NE(manual.find("\n.B " + std::string(o.name) + "\n"), std::string::npos) << o.name;
  }
  EXPECT_EQ(documented, listed);
  for (const char* part : {"\\-\\-help", "\\-\\-version", "ORVELLE_QUIET", "Report"}) {
    EXPECT_NE(manual.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace orvelle::console
