#include "project/project.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/testtools/scripted_dialogs.h"
#include "project/testtools/fake_control.h"
#include "test_support.h"

namespace orvelle {
namespace {

using Lines = std::vector<std::string>;

// A test path in the platform's form: "/data/a.mdb" stays as it is on POSIX and becomes
// "C:\data\a.mdb" on Windows.
std::string N(const std::string& posix) {
  std::string path = posix;
  for (auto& c : path) {
    if (c == '/') c = kPathDelim;
  }
#ifdef _WIN32
  if (!path.empty() && path[0] == kPathDelim) path = "C:" + path;
#endif
  return path;
}

class ProjectTest : public ::testing::Test {
 protected:
  ProjectTest() { SetDialogs(&dialogs_); }
  ~ProjectTest() override { SetDialogs(nullptr); }

  // A project as start-up leaves it once the descriptor is filled.
  std::unique_ptr<TkxProject> Make(const std::string& first_arg) {
    auto project = std::make_unique<TkxProject>(Exe(), first_arg);
    project->ShortName = "tessoly";
    project->ProjectExt = ".batch-tessoly";
    project->ProjectFilter = "Orvelle Project|*.batch-tessoly";
    project->SourceFilter = "Access Database (*.mdb;*.accdb)|*.mdb;*.accdb";
    project->OverwriteDefault = false;
    project->TargetDelimiter = kPathDelim;
    project->OnNotice = [this](const std::string& param, const std::string& extra) {
      notices_.push_back(param + "|" + extra);
    };
    return project;
  }
  std::string Exe() const { return dir_.Sub("orvelle"); }
  std::string DefaultProject() const { return dir_.Sub("orvelle.batch-tessoly"); }

  test::ScopedTempDir dir_;
  testing::ScriptedDialogs dialogs_;
  Lines notices_;
};

TEST_F(ProjectTest, NoArgumentAndNoDefaultProject) {
  {
    auto project = Make("");
    EXPECT_EQ(project->ParseCommandLine(), TkxProject::CommandLineResult::Continue);
    EXPECT_EQ(project->Options().Lines(), Lines{});
    EXPECT_EQ(project->ProjectFile, DefaultProject());
    EXPECT_EQ(project->RecentProjects, Lines{});
    EXPECT_EQ(project->RecentListPath(), Exe() + ".log");
  }
  EXPECT_FALSE(test::Exists(Exe() + ".log"));  // nothing to remember, nothing written
}

TEST_F(ProjectTest, DefaultProjectIsLoadedAndRemembered) {
  test::WriteBytes(DefaultProject(), "Source=/db/*.mdb\r\nThreadsCount=3\r\n");
  {
    auto project = Make("");
    project->ParseCommandLine();
    EXPECT_EQ(project->Source(), "/db/*.mdb");
    EXPECT_EQ(project->ThreadsCount(), 3);
    EXPECT_EQ(project->RecentProjects, Lines{DefaultProject()});
  }
  EXPECT_EQ(test::ReadBytes(Exe() + ".log"), DefaultProject() + "\r\n");
  auto next = Make("");
  EXPECT_EQ(next->RecentProjects, Lines{DefaultProject()});
}

TEST_F(ProjectTest, OptionsOnTheCommandLine) {
  test::WriteBytes(DefaultProject(), "Source=/default/*.mdb\r\n");
  struct Case {
    std::string arg;
    Lines lines;
    std::string project_file;
  };
  const Case cases[] = {
      {"-P:Source=" + N("/db/*.mdb") + ",Subdir=1;ThreadsCount=2",
       {"Source=" + N("/db/*.mdb"), "Subdir=1", "ThreadsCount=2", "Target=" + N("/db/")},
       ""},
      {"-pSource=/db/a.mdb,Target=/out", {"Source=/db/a.mdb", "Target=/out"}, ""},
      {"-P:Source=a.mdb", {"Source=a.mdb"}, ""},  // no folder part: no target
      {"-P:", {"Source=/default/*.mdb"}, DefaultProject()},
      {"-P", {"Source=/default/*.mdb"}, DefaultProject()},
      {"-X", {"Source=/default/*.mdb"}, DefaultProject()},
      {"x", {"Source=/default/*.mdb"}, DefaultProject()},
  };
  for (const auto& c : cases) {
    auto project = Make(c.arg);
    EXPECT_EQ(project->ParseCommandLine(), TkxProject::CommandLineResult::Continue);
    EXPECT_EQ(project->Options().Lines(), c.lines) << c.arg;
    EXPECT_EQ(project->ProjectFile, c.project_file) << c.arg;
  }
}

TEST_F(ProjectTest, InstallAndUninstallNoticesEndAtOnce) {
  test::WriteBytes(DefaultProject(), "Source=/default/*.mdb\r\n");
  const std::pair<std::string, std::string> cases[] = {
      {"-I", "ins|"}, {"-iabc&x=1", "ins|abc&x=1"}, {"-U", "uni|"}, {"-uignored", "uni|"}};
  for (const auto& c : cases) {
    notices_.clear();
    auto project = Make(c.first);
    EXPECT_EQ(project->ParseCommandLine(), TkxProject::CommandLineResult::ExitAfterNotice);
    EXPECT_EQ(notices_, Lines{c.second}) << c.first;
    EXPECT_EQ(project->Options().Lines(), Lines{}) << c.first;
    EXPECT_EQ(project->ProjectFile, "") << c.first;
  }
}

TEST_F(ProjectTest, FileArguments) {
  const std::string nightly = dir_.Sub("nightly.batch-tessoly");
  test::WriteBytes(nightly, "Source=/jobs/*.accdb\r\n");
  {
    auto project = Make(nightly);
    project->ParseCommandLine();
    EXPECT_EQ(project->Source(), "/jobs/*.accdb");
    EXPECT_EQ(project->ProjectFile, nightly);
    EXPECT_EQ(project->RecentProjects, Lines{nightly});
  }
  // The extension is compared with its letter case: this one is a source.
  const std::string upper = dir_.Sub("NIGHTLY.BATCH-TESSOLY");
  auto project = Make(upper);
  project->ParseCommandLine();
  EXPECT_EQ(project->Source(), upper);
  EXPECT_EQ(project->Target(), dir_.Path() + kPathDelim);
  EXPECT_EQ(project->ProjectFile, "");

  auto source = Make(N("/data/orders.mdb"));
  source->ParseCommandLine();
  EXPECT_EQ(source->Options().Lines(),
            (Lines{"Source=" + N("/data/orders.mdb"), "Target=" + N("/data/")}));
  EXPECT_EQ(source->ProjectFile, "");
}

#ifndef _WIN32
// An absolute path starts with the slash, so here only the hyphen introduces a switch.
TEST_F(ProjectTest, LeadingSlashIsAPath) {
  for (const char* arg : {"/Users/a.mdb", "/Install/a.mdb", "/P:Source=x"}) {
    auto project = Make(arg);
    EXPECT_EQ(project->ParseCommandLine(), TkxProject::CommandLineResult::Continue);
    EXPECT_EQ(project->Source(), arg);
  }
  EXPECT_EQ(notices_, Lines{});
}
#else
TEST_F(ProjectTest, SlashSwitchesLikeAHyphen) {
  auto project = Make("/p:Source=C:\\db\\*.mdb");
  project->ParseCommandLine();
  EXPECT_EQ(project->Options().Lines(), (Lines{"Source=C:\\db\\*.mdb", "Target=C:\\db\\"}));
  auto notice = Make("/u");
  EXPECT_EQ(notice->ParseCommandLine(), TkxProject::CommandLineResult::ExitAfterNotice);
}
#endif

TEST_F(ProjectTest, WindowReopensTheInitialProject) {
  // A source from the command line: a default project, when there is one, replaces it.
  test::FakeControl source("eSource", "Text");
  test::FakeControl subdir("cSubdir", "Checked");
  test::FakeControl target("eTarget", "Text");
  auto project = Make(N("/data/orders.mdb"));
  project->ParseCommandLine();
  project->BindControl(&source);
  project->BindControl(&subdir);
  project->BindControl(&target);
  project->OpenInitial();
  EXPECT_EQ(source.text, N("/data/orders.mdb"));
  EXPECT_EQ(target.text, N("/data/"));
  EXPECT_EQ(project->ProjectFile, DefaultProject());

  test::WriteBytes(DefaultProject(), "Source=/default/*.mdb\r\nSubdir=True\r\n");
  project->OpenInitial();
  EXPECT_EQ(source.text, "/default/*.mdb");
  EXPECT_TRUE(subdir.checked);
  EXPECT_EQ(target.text, "");
}

TEST_F(ProjectTest, ControlsAndLegacyKeys) {
  const std::string file = dir_.Sub("old.batch-tessoly");
  test::WriteBytes(file,
                   "eSource.Text=/old/*.mdb\r\nSubdir=1\r\nLogFile=/old/run.log\r\n"
                   "eTarget.Text=/old/out/\r\n");
  test::FakeControl source("eSource", "Text");
  test::FakeControl subdir("cSubdir", "Checked");
  test::FakeControl target("eTarget", "Text");
  subdir.checked = true;
  auto project = Make(file);
  project->BindControl(&source);
  project->BindControl(&subdir);
  project->BindControl(&target);
  project->ParseCommandLine();
  EXPECT_EQ(source.text, "/old/*.mdb");
  EXPECT_EQ(target.text, "/old/out/");
  EXPECT_TRUE(subdir.checked);  // "1" names no member: the box keeps its state
  EXPECT_TRUE(project->Subdir());
  EXPECT_EQ(project->Options().Lines(), (Lines{"Subdir=1", "LogFile=/old/run.log"}));

  subdir.checked = false;
  target.text.clear();
  project->SaveProject();
  EXPECT_EQ(test::ReadBytes(file), "Subdir=False\r\nLogFile=/old/run.log\r\nSource=/old/*.mdb\r\n");
  EXPECT_EQ(dialogs_.shown, Lines{});

  project->NewProject();
  EXPECT_EQ(source.text, "");
  EXPECT_FALSE(subdir.checked);
  EXPECT_EQ(project->ProjectFile, "");
  EXPECT_EQ(project->Options().Lines(), Lines{});
}

TEST_F(ProjectTest, TypedReaders) {
  auto project = Make("");
  auto& options = project->Options();
  struct OverwriteCase {
    const char* text;
    bool def;
    TkxOverwrite expected;
  };
  const OverwriteCase overwrite[] = {
      {"IsOverwrite=SKIP", false, TkxOverwrite::Skip},
      {"IsOverwrite=maybe", false, TkxOverwrite::No},
      {"IsOverwrite=maybe", true, TkxOverwrite::Yes},
      {"IsOverwrite=1", false, TkxOverwrite::Yes},
      {"IsOverwrite=false", true, TkxOverwrite::No},
      {"", false, TkxOverwrite::No},
  };
  for (const auto& c : overwrite) {
    options.SetText(c.text);
    project->OverwriteDefault = c.def;
    EXPECT_EQ(project->IsOverwrite(), c.expected) << c.text << " " << c.def;
  }
  struct RunAndCloseCase {
    const char* text;
    bool expected;
  };
  const RunAndCloseCase run_and_close[] = {
      {"", false},
      {"Daemon=500", true},
      {"Daemon=0", false},
      {"Daemon=-1", false},
      {"PureConsole=1", true},
      {"RunAndClose=True", true},
      {"RunAndClose=no", false},
  };
  for (const auto& c : run_and_close) {
    options.SetText(c.text);
    EXPECT_EQ(project->RunAndClose(), c.expected) << c.text;
  }
  options.SetText("ThreadsCount=8 threads\r\nKeepTargetSubdirs=maybe\r\nDaemon=$10\r\n");
  EXPECT_EQ(project->ThreadsCount(), 1);
  EXPECT_TRUE(project->KeepTargetSubdirs());
  EXPECT_EQ(project->Daemon(), 16);
  EXPECT_FALSE(project->Subdir());
  EXPECT_EQ(project->GetOption("daemon"), "$10");
}

TEST_F(ProjectTest, TargetFolder) {
  auto project = Make("");
  const std::string out = dir_.Sub(N("out/deeper"));
  project->Options().SetValue("Target", out);
  EXPECT_EQ(project->TargetFolder(), out + kPathDelim);
  EXPECT_TRUE(fs::DirectoryExists(out));
  project->Options().SetValue("Target", out + kPathDelim);
  EXPECT_EQ(project->TargetFolder(), out + kPathDelim);

  project->Options().SetValue("Target", "");
  EXPECT_EQ(project->TargetFolder(), "");

  // A "file:" address is the folder it names, as in "Source"; another address is no folder
  // and nothing is made for it.
#ifdef _WIN32
  std::string address = "file:///" + dir_.Sub("by-address");
  for (char& c : address) c = c == '\\' ? '/' : c;
#else
  const std::string address = "file://" + dir_.Sub("by-address");
#endif
  project->Options().SetValue("Target", address);
  EXPECT_EQ(project->TargetFolder(), dir_.Sub("by-address") + kPathDelim);
  EXPECT_TRUE(fs::DirectoryExists(dir_.Sub("by-address")));
  EXPECT_FALSE(fs::DirectoryExists("file:"));
  project->Options().SetValue("Target", "http://example.org/out");
  EXPECT_EQ(project->TargetFolder(), "http://example.org/out" + std::string(1, kPathDelim));
  EXPECT_FALSE(fs::DirectoryExists("http:"));

  project->TargetDelimiter = '|';  // not a local folder: nothing is created
  project->Options().SetValue("Target", dir_.Sub("remote"));
  EXPECT_EQ(project->TargetFolder(), dir_.Sub("remote") + "|");
  EXPECT_FALSE(fs::DirectoryExists(dir_.Sub("remote")));

  // A file in the way: the name still gets its delimiter, and the reason is told.
  project->TargetDelimiter = kPathDelim;
  test::WriteBytes(dir_.Sub("a-file"), "x");
  project->Options().SetValue("Target", dir_.Sub(N("a-file/out")));
  std::string why;
  EXPECT_EQ(project->TargetFolder(&why), dir_.Sub(N("a-file/out")) + kPathDelim);
  EXPECT_NE(why, "");
  why.clear();
  project->Options().SetValue("Target", out);
  project->TargetFolder(&why);
  EXPECT_EQ(why, "");
}

TEST_F(ProjectTest, SaveAsAndRecentProjects) {
  auto project = Make("");
  project->ProjectFile.clear();
  project->Options().SetValue("Source", "/db/*.mdb");
  project->SaveProject();  // no file yet: asks, and the answer is cancel
  EXPECT_EQ(dialogs_.shown, Lines{"save:Orvelle Project|*.batch-tessoly:.batch-tessoly:"});
  EXPECT_EQ(project->ProjectFile, "");
  EXPECT_EQ(project->RecentProjects, Lines{});

  const std::string a = dir_.Sub("a.batch-tessoly");
  dialogs_.answer = a;
  project->SaveProject();
  EXPECT_EQ(test::ReadBytes(a), "Source=/db/*.mdb\r\n");
  EXPECT_EQ(project->ProjectFile, a);

  const std::string b = dir_.Sub("b.batch-tessoly");
  test::WriteBytes(b, "Source=/b/*.mdb\r\n");
  project->ProjectFile = b;
  project->OpenProject(true);
  project->OpenProject(true);
  project->ProjectFile = dir_.Sub("A.batch-tessoly");  // differs only in letter case
  project->AddRecent();
  EXPECT_EQ(project->RecentProjects, (Lines{b, a}));

  // A save that cannot write reports it; the new name is kept, the recent list is not touched.
  const std::string bad = dir_.Sub(N("no/such/folder/c.batch-tessoly"));
  dialogs_.answer = bad;
  EXPECT_THROW(project->SaveProjectAs(), fs::FileError);
  EXPECT_EQ(project->ProjectFile, bad);
  EXPECT_EQ(project->RecentProjects, (Lines{b, a}));
}

TEST_F(ProjectTest, OpenDialog) {
  auto project = Make("");
  project->ParseCommandLine();
  project->Options().SetValue("Source", "/keep/*.mdb");

  project->OpenProject(false);  // cancelled
  EXPECT_EQ(dialogs_.shown,
            Lines{"open:Orvelle Project|*.batch-tessoly|Access Database (*.mdb;*.accdb)|"
                  "*.mdb;*.accdb:" +
                  DefaultProject() + ":single"});
  EXPECT_EQ(project->Source(), "/keep/*.mdb");
  EXPECT_EQ(project->ProjectFile, DefaultProject());

  // Unreadable project: the list stays and the file is not remembered.
  const std::string folder = dir_.Sub("folder.batch-tessoly");
  test::WriteBytes(folder + kPathDelim + "inside", "");
  dialogs_.answer = folder;
  project->OpenProject(false);
  EXPECT_EQ(project->Source(), "/keep/*.mdb");
  EXPECT_EQ(project->RecentProjects, Lines{});

  dialogs_.answer = N("/data/x.accdb");
  project->OpenProject(false);
  EXPECT_EQ(project->Source(), N("/data/x.accdb"));
  EXPECT_EQ(project->ProjectFile, "");

  project->OpenProject(true);  // no file at all: the source is not emptied
  EXPECT_EQ(project->Source(), N("/data/x.accdb"));
}

// With options from the command line, a database picked in the Open dialog must never
// become the file that Save writes to.
TEST_F(ProjectTest, SaveNeverWritesOptionsOverAPickedDatabase) {
  const std::string db = dir_.Sub("orders.mdb");
  test::WriteBytes(db, std::string("Standard Jet DB\0\x01", 17));
  auto project = Make("-P:Source=" + N("/db/*.mdb"));
  project->ParseCommandLine();
  dialogs_.answer = db;
  project->OpenProject(false);
  EXPECT_EQ(project->Options().Lines(), (Lines{"Source=" + N("/db/*.mdb"), "Target=" + N("/db/")}));
  EXPECT_EQ(project->ProjectFile, "");

  dialogs_.answer.clear();
  project->SaveProject();
  EXPECT_EQ(test::ReadBytes(db), std::string("Standard Jet DB\0\x01", 17));
}

TEST_F(ProjectTest, UnwritableProgramFolderIsHarmless) {
  const std::string missing = dir_.Sub(N("gone/orvelle"));
  auto project = std::make_unique<TkxProject>(missing, "");
  project->ProjectExt = ".batch-tessoly";
  project->ParseCommandLine();
  project->ProjectFile = dir_.Sub("x.batch-tessoly");
  project->AddRecent();
  project.reset();  // the recent list cannot be written; no error escapes
  EXPECT_FALSE(test::Exists(missing + ".log"));
}

}  // namespace
}  // namespace orvelle
