#include "product/info.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "batch/batch.h"
#include "platform/file_utils.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/shell.h"
#include "project/project.h"
#include "test_support.h"
#include "ui/testtools/scoped_env.h"

namespace orvelle {
namespace {

using test::ScopedEnv;
using test::ScopedTempDir;
using test::WriteBytes;

// A program folder in a temporary place, a project with the product's texts, quiet off and
// every opened address recorded instead of reaching a browser.
class InfoTest : public ::testing::Test {
 protected:
  InfoTest() : quiet_("ORVELLE_QUIET", std::nullopt), exe_(Bin("orvelle")), project_(exe_, "") {
    WriteBytes(exe_, "program");
    project_.Title = "Orvelle";
    project_.ShortName = "tessoly";
    project_.Version = "1.2";
    saved_project_ = kxProject;
    kxProject = &project_;
    shell::SetOpenerForTesting([this](const std::string& target) { opened_.push_back(target); });
  }
  ~InfoTest() override {
    shell::SetOpenerForTesting(nullptr);
    kxProject = saved_project_;
  }

  std::string Bin(const std::string& name) const { return dir_.Sub("bin") + kPathDelim + name; }
  std::string StatePath() const { return Bin("orvelle.ext"); }
  // The key the program will use.
  int32_t PrepareStateFile() const { return TkxInfo::FolderInstallNo(dir_.Sub("bin"), true); }

  ScopedTempDir dir_;
  ScopedEnv quiet_;
  std::string exe_;
  TkxProject project_;
  TkxProject* saved_project_ = nullptr;
  std::vector<std::string> opened_;
};

TEST_F(InfoTest, FirstStartHoldsVersionAndOneStart) {
  TkxInfo info(exe_);
  EXPECT_EQ(info.GetState("v"), "2");
  EXPECT_EQ(info.GetState("R"), "1");
  EXPECT_EQ(info.CounterText(), "r1");
  EXPECT_TRUE(fs::FileExists(StatePath()));
  EXPECT_EQ(info.InstallNo(), TkxInfo::FolderInstallNo(dir_.Sub("bin"), true));
}

// The key is taken once, from the program folder's birth time, and kept in the state file:
// files that come and go beside the program change the folder's other times (and, under
// Wine, the time it gives as the creation time) but never the key, so the counters stay. A
// state written under the status-change time that older versions used is still read, and
// written anew under a kept key.
TEST_F(InfoTest, CountersSurviveChangesToTheProgramFolder) {
  int32_t key = 0;
  {
    TkxInfo info(exe_);
    info.AddCount("C", 5);
    key = info.InstallNo();
  }
  int32_t kept = 0;
  ASSERT_TRUE(TkxInfo::StoredKey(test::ReadBytes(StatePath()), kept));
  EXPECT_EQ(kept, key);
  // Past the two-second step of a DOS time, so that a time that moves gives another key.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  WriteBytes(Bin("orvelle.chm"), "help arrives later");
  fs::DeleteFileAt(Bin("orvelle.chm"));
  WriteBytes(Bin("readme.txt"), "and a note");
  {
    TkxInfo info(exe_);
    EXPECT_EQ(info.CounterText(), "r2c5");
    EXPECT_EQ(info.InstallNo(), key);
  }
  const int32_t old_key = TkxFileUtils::GetFileDosTime(dir_.Sub("bin"), true, true);
  WriteBytes(StatePath(), TkxInfo::ScrambleState({"R=7", "C=3"}, old_key));
  { TkxInfo info(exe_); }
  const std::string stored = test::ReadBytes(StatePath());
  ASSERT_TRUE(TkxInfo::StoredKey(stored, kept));
  EXPECT_EQ(kept, TkxInfo::FolderInstallNo(dir_.Sub("bin"), true));
  std::vector<std::string> lines;
  EXPECT_TRUE(TkxInfo::UnscrambleState(stored, kept, lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"R=8", "C=3", "v=2"}));
}

TEST_F(InfoTest, StateSurvivesARestart) {
  {
    TkxInfo info(exe_);
    info.AddCount("C", 5);
    info.AddCount("F", 0);
    EXPECT_EQ(info.GetState("F"), "0");
  }
  TkxInfo info(exe_);
  EXPECT_EQ(info.GetState("R"), "2");
  EXPECT_EQ(info.GetState("C"), "5");
  EXPECT_EQ(info.CounterText(), "r2c5f0");
}

TEST_F(InfoTest, StateScrambledWithAnotherKeyGivesNoEntries) {
  const int32_t key = PrepareStateFile();
  const std::string foreign = TkxInfo::ScrambleState({"R=40", "C=9"}, key + 2);
  std::vector<std::string> lines{"left over"};
  EXPECT_FALSE(TkxInfo::UnscrambleState(foreign, key, lines));
  EXPECT_TRUE(lines.empty());
  WriteBytes(StatePath(), foreign);
  TkxInfo info(exe_);
  EXPECT_EQ(info.GetState("C"), "");
  EXPECT_EQ(info.CounterText(), "r1");
}

TEST_F(InfoTest, DamagedStateGivesNoEntries) {
  const int32_t key = PrepareStateFile();
  std::string stored = TkxInfo::ScrambleState({"R=40", "C=9"}, key);
  std::vector<std::string> lines;
  ASSERT_TRUE(TkxInfo::UnscrambleState(stored, key, lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"R=40", "C=9"}));
  std::string changed = stored;
  changed[40] = changed[40] == 'f' ? 'e' : 'f';  // one hex digit of the text
  const std::string cases[] = {
      stored.substr(0, stored.size() - 4),  // one byte of the text missing
      changed,
      std::string("garbage"),
      std::string(),
  };
  for (const auto& bad : cases) {
    EXPECT_FALSE(TkxInfo::UnscrambleState(bad, key, lines));
    EXPECT_TRUE(lines.empty());
  }
  WriteBytes(StatePath(), cases[1]);
  TkxInfo info(exe_);
  EXPECT_EQ(info.CounterText(), "r1");
}

TEST_F(InfoTest, UnwritableProgramFolderStillStartsAndCounts) {
  // A file where the program's folder should be: nothing can be created below it.
  WriteBytes(dir_.Sub("blocked"), "x");
  {
    TkxInfo info(dir_.Sub("blocked") + kPathDelim + "orvelle");
    info.AddCount("C", 1);
    EXPECT_EQ(info.CounterText(), "r1c1");
    info.OpenLink("", "", "");
    EXPECT_EQ(opened_.size(), 1u);
  }
  EXPECT_EQ(test::ReadBytes(dir_.Sub("blocked")), "x");
}

TEST_F(InfoTest, SupportSubjectNamesTitleVersionAndInstallation) {
  TkxInfo info(exe_);
  info.OpenLink("supports", "", "");
  project_.Title = "Tom & Jerry & Co";
  info.OpenLink("supports", "", "");
  const std::string no = std::to_string(info.InstallNo());
  EXPECT_EQ(opened_,
            (std::vector<std::string>{
                "mailto:support@orvelle.example?subject=Support required for Orvelle 1.2 - " + no,
                "mailto:support@orvelle.example?subject=Support required for Tom And Jerry & Co "
                "1.2 - " +
                    no}));
}

TEST_F(InfoTest, HelpPrefersTheChmBesideTheProgram) {
  TkxInfo info(exe_);
  info.OpenLink("h", "", "");
  WriteBytes(Bin("orvelle.chm"), "help");
  info.OpenLink("h", "", "");
  EXPECT_EQ(opened_, (std::vector<std::string>{Bin("orvelle.pdf"), Bin("orvelle.chm")}));
}

TEST_F(InfoTest, WebLinksCarryProductAndCounters) {
  TkxInfo info(exe_);
  info.AddCount("C", 5);
  info.AddCount("F", 0);
  const std::string tail = "p=tessoly&v=1.2&c=r1c5f0&i=" + std::to_string(info.InstallNo());
  info.OpenLink("download", "", "");
  info.OpenLink("", "", "");
  info.OpenLink("", "ins", "path=/opt/o");
  info.OpenLink("", "uni", "");
  EXPECT_EQ(opened_, (std::vector<std::string>{
                         "https://www.orvelle.example/en/tessoly/download.htm?" + tail,
                         "https://www.orvelle.example?" + tail,
                         "https://www.orvelle.example/net/?a=ins&" + tail + "&path=/opt/o",
                         "https://www.orvelle.example/net/?a=uni&" + tail,
                     }));
}

TEST_F(InfoTest, QuietOpensNoReportsButOtherLinks) {
  ScopedEnv quiet("ORVELLE_QUIET", std::string("True"));
  TkxInfo info(exe_);
  info.OpenLink("", "ins", "");
  info.ReportException("Boom");
  info.OpenLink("download", "", "");
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].rfind("https://www.orvelle.example/en/tessoly/download.htm?", 0), 0u);
  EXPECT_EQ(info.GetState("E"), "1");
}

TEST_F(InfoTest, QuietFromEnvironmentOrState) {
  const struct {
    std::optional<std::string> env;
    std::string state;
    bool quiet;
  } cases[] = {
      {std::nullopt, "", false},         {std::string("1"), "", true},
      {std::string("-1"), "", true},     {std::string("true"), "", true},
      {std::string("TRUE"), "", true},   {std::string("0"), "", false},
      {std::string("False"), "", false}, {std::string("yes"), "", false},
      {std::string(""), "", false},      {std::nullopt, "+=1", true},
      {std::nullopt, "+=True", true},    {std::nullopt, "+=0", false},
      {std::nullopt, "+=on", false},     {std::string("0"), "+=2", true},
  };
  const int32_t key = PrepareStateFile();
  for (const auto& c : cases) {
    ScopedEnv env("ORVELLE_QUIET", c.env);
    std::vector<std::string> lines{"R=3"};
    if (!c.state.empty()) lines.push_back(c.state);
    // The key goes into the file: where the folder's creation time moves (Wine gives its
    // status-change time), a file without it would stop being readable once saved.
    WriteBytes(StatePath(), TkxInfo::StoredState(lines, key));
    TkxInfo info(exe_);
    EXPECT_EQ(info.IsQuiet(), c.quiet)
        << "environment " << c.env.value_or("(unset)") << " state " << c.state;
  }
}

TEST(InfoQuery, AddQueryParamDropsEmptyValuesAndQuotes) {
  std::string query;
  TkxInfo::AddQueryParam(query, "a", "");
  EXPECT_EQ(query, "");
  TkxInfo::AddQueryParam(query, "a", "say \"hi\"");
  TkxInfo::AddQueryParam(query, "b", "");
  TkxInfo::AddQueryParam(query, "c", "x&y=z");
  EXPECT_EQ(query, "a=say hi&c=x&y=z");
}

TEST(InfoQuery, ErrorReportTextIsCommaSeparatedAndEscaped) {
  const struct {
    std::vector<std::string> errors;
    std::string text;
  } cases[] = {
      {{"Disk full"}, "err&e=\"Disk full\""},
      {{"plain", "other"}, "err&e=plain,other"},
      {{"a,b", "say \"hi\""}, "err&e=\"a,b\",\"say \"\"hi\"\"\""},
      {{"Why?"}, "err&e=Why%3F"},
      {{"Not a database: \"/d/x?.mdb\""}, "err&e=\"Not a database: \"\"/d/x%3F.mdb\"\"\""},
      {{"caf\xc3\xa9"}, "err&e=caf%C3%A9"},
      {{"line\r\nnext"}, "err&e=\"line%0D%0Anext\""},
  };
  for (const auto& c : cases) EXPECT_EQ(TkxInfo::ErrorReportText(c.errors), c.text);
}

TEST_F(InfoTest, RunReportCountsAndOpensOneErrorReport) {
  TkxInfo info(exe_);
  {
    TkxBatch batch;
    for (const char* name : {"/d/a.mdb", "/d/b.mdb", "/d/c.mdb"}) batch.AddListedFile(name);
    batch.AddSuccess();
    batch.AddSuccess();
    batch.AddFailure("Unrecognized database format \"/d/c?.mdb\"");
    info.ReportRun(batch);
  }
  EXPECT_EQ(info.GetState("A"), "3");
  EXPECT_EQ(info.GetState("S"), "2");
  EXPECT_EQ(info.GetState("F"), "1");
  EXPECT_EQ(opened_, (std::vector<std::string>{"https://www.orvelle.example/net/"
                                               "?a=err&e=Unrecognized database format /d/c%3F.mdb"
                                               "&p=tessoly&v=1.2&c=r1a3s2f1&i=" +
                                               std::to_string(info.InstallNo())}));
}

TEST_F(InfoTest, RunReportWithoutFailuresOpensNothing) {
  TkxInfo info(exe_);
  {
    TkxBatch batch;
    batch.AddListedFile("/d/a.mdb");
    batch.AddSuccess();
    info.ReportRun(batch);
  }
  EXPECT_EQ(info.CounterText(), "r1a1s1f0");
  EXPECT_TRUE(opened_.empty());
}

TEST_F(InfoTest, ExceptionIsCountedAndReported) {
  TkxInfo info(exe_);
  info.ReportException("List index out of bounds (5)");
  EXPECT_EQ(info.GetState("E"), "1");
  EXPECT_EQ(opened_, (std::vector<std::string>{
                         "https://www.orvelle.example/net/?a=err&e=List index out of bounds (5)"
                         "&p=tessoly&v=1.2&c=r1e1&i=" +
                         std::to_string(info.InstallNo())}));
}

}  // namespace
}  // namespace orvelle
