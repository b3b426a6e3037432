#include "app/app.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/usage.h"
#include "console/windowless.h"
#include "jobs/tessoly.h"
#include "platform/path.h"
#include "project/project.h"
#include "test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace orvelle {
namespace {

TEST(AppTest, DescriptorHoldsTheProductValues) {
  TkxProject project("/opt/orvelle/orvelle", "");
  EXPECT_TRUE(project.OverwriteDefault);  // the framework's default until the fill
  FillDescriptor(project);
  EXPECT_EQ(project.JobClass, &TkxTessoly::Create);
  EXPECT_EQ(project.DefaultMask, "*.*db");
  EXPECT_EQ(project.SourceFilter, "Access Database (*.mdb;*.accdb)|*.mdb;*.accdb");
  EXPECT_EQ(project.TargetExt, "");
  EXPECT_EQ(project.AltExt, "");
  EXPECT_EQ(project.MacroExt, "");
  EXPECT_EQ(project.ShortName, "tessoly");
  EXPECT_EQ(project.ProjectExt, ".batch-tessoly");
  EXPECT_EQ(project.ProjectFilter, "Orvelle Project|*.batch-tessoly");
  EXPECT_EQ(project.Title, "Orvelle");
  EXPECT_EQ(project.Version, "2026.18.1003.2686");
  EXPECT_FALSE(project.OverwriteDefault);
  EXPECT_TRUE(project.TargetFollowsSource);
  EXPECT_EQ(project.TargetDelimiter, kPathDelim);
  EXPECT_EQ(project.DefaultProjectPath(), "/opt/orvelle/orvelle.batch-tessoly");
}

TEST(AppTest, ConsoleOrWindow) {
  struct Case {
    const char* options;
    bool console;
  };
  const Case cases[] = {
      {"PureConsole=1\r\nSource=C:\\data\\*.*db", true},
      {"PureConsole=True\r\nSource=/data/*.*db", true},
      {"PureConsole=1", true},
      {"PureConsole=1\r\nSource=\\\\server\\https\\*.mdb", false},
      {"PureConsole=1\r\nSource=/srv/xhttpx/*.mdb", false},
      {"PureConsole=1\r\nSource=/srv/HTTP/*.mdb", true},  // the search minds letter case
      {"PureConsole=0\r\nSource=/data/*.*db", false},
      {"Source=/data/*.*db", false},
  };
  TkxProject project("/opt/orvelle/orvelle", "");
  for (const auto& c : cases) {
    project.Options().SetText(c.options);
    EXPECT_EQ(IsConsoleRun(project), c.console) << c.options;
  }
}

TEST(AppTest, EscapingFailureEndsWithCodeOne) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunGuarded([]() -> int { throw std::runtime_error("disk gone"); }), 1);
  EXPECT_EQ(RunGuarded([]() -> int { throw 42; }), 1);
  EXPECT_EQ(RunGuarded([] { return 2; }), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orvelle: the run stopped: disk gone\n"
            "orvelle: the run stopped on an unknown failure\n");
}

#ifndef _WIN32

struct Outcome {
  int code = -1;
  std::string err;
};

// Runs `program` quietly with `args`, standard error captured in `err_file`.
Outcome RunQuiet(const std::string& program, const std::vector<std::string>& args,
                 const std::string& err_file) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text{"ORVELLE_QUIET=1"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ORVELLE_QUIET=", 0) != 0) env_text.push_back(*e);
  }
  std::vector<char*> env;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  Outcome outcome;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data()) == 0) {
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.err = test::ReadBytes(err_file);
  return outcome;
}

// The built program, copied into a folder of its own so that its side files (default
// project, recent list, state) are the test's alone.
class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    namespace sfs = std::filesystem;
    sfs::create_directories(dir_.Sub("bin"));
    sfs::create_directories(dir_.Sub("src"));
    sfs::copy_file(test::BuiltProgram("orvelle"), Program());
    sfs::permissions(Program(), sfs::perms::owner_all);
    test::WriteBytes(dir_.Sub("src/notes.txt"), "not a database");
  }
  std::string Program() const { return dir_.Sub("bin/orvelle"); }
  Outcome Run(const std::vector<std::string>& args) {
    return RunQuiet(Program(), args, dir_.Sub("stderr.txt"));
  }
  std::string ConsoleOptions() const {
    return "Source=" + dir_.Sub("src") + "/*.*db,Target=" + dir_.Sub("out") +
           ",PureConsole=1,LogFile=" + dir_.Sub("run.log");
  }

  test::ScopedTempDir dir_;
};

TEST_F(ProgramTest, ConsoleRunEndsWithoutAWindow) {
  Outcome outcome = Run({"-P:" + ConsoleOptions()});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(test::WithoutSummary(outcome.err), "");
  EXPECT_TRUE(test::Exists(dir_.Sub("out")));  // the target was prepared for the run

  std::filesystem::remove_all(dir_.Sub("out"));
  outcome = Run({"-P:" + ConsoleOptions(), "-U"});  // a second argument changes nothing
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(test::WithoutSummary(outcome.err), "");
  EXPECT_TRUE(test::Exists(dir_.Sub("out")));
}

TEST_F(ProgramTest, DefaultProjectBesideTheProgram) {
  const std::string project = dir_.Sub("bin/orvelle.batch-tessoly");
  test::WriteBytes(project, "Source=" + dir_.Sub("src") + "/*.*db\r\nTarget=" + dir_.Sub("out") +
                                "\r\nPureConsole=1\r\n");
  const Outcome outcome = Run({});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(test::WithoutSummary(outcome.err), "");
  EXPECT_TRUE(test::Exists(dir_.Sub("out")));
  EXPECT_EQ(test::ReadBytes(dir_.Sub("bin/orvelle.log")), project + "\r\n");
}

// Without a window every batch runs in the console; what cannot run says why and gives 2.
TEST_F(ProgramTest, WithoutAWindowEveryBatchRunsInTheConsole) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;  // "" for a run that takes place: its summary line is checked elsewhere
  };
  const Case cases[] = {
      {{}, 2, std::string(console::kNothingToRun) + "\n"},
      {{"-P:Source=/srv/https/*.mdb,Target=" + dir_.Sub("out") + ",PureConsole=1"},
       2,
       std::string(kNoWindowHint) + "\n"},
      {{"-P:Source=/srv/https/*.mdb,Target=" + dir_.Sub("out")},
       2,
       std::string(kNoWindowHint) + "\n"},
      {{"-X"}, 2, "orvelle: unknown option \"-X\" (orvelle --help lists the forms)\n"},
      {{"-P:Source=" + dir_.Sub("src") + "/*.*db,Target=" + dir_.Sub("out") + ",PureConsole=0"},
       0,
       ""},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.code, c.code) << testing::PrintToString(c.args);
    if (c.code != 0) {
      EXPECT_EQ(outcome.err, c.err) << testing::PrintToString(c.args);
    }
  }
  EXPECT_TRUE(test::Exists(dir_.Sub("out")));  // the run without PureConsole took place
  EXPECT_STREQ(kNoWindowHint,
               "orvelle: this build has no window; start a console run instead, for example: "
               "orvelle \"-P:Source=DIR/*.*db,Target=OUT,PureConsole=1,LogFile=run.log\"");
}

TEST_F(ProgramTest, NoticesEndAtOnce) {
  for (const char* arg : {"-U", "-Iref=1"}) {
    const Outcome outcome = Run({arg});
    EXPECT_EQ(outcome.code, 0) << arg;
    EXPECT_EQ(outcome.err, "") << arg;
  }
}

TEST_F(ProgramTest, ArgumentsOfAnyLengthOrContent) {
  const std::vector<std::string> cases = {
      std::string(100000, 'x'),
      "-P" + std::string(100000, ';'),
      "-P:Source=" + std::string(50000, '=') + ",PureConsole=1",
      "\xFF\xFE\x01 \xC3",
      "-",
  };
  for (const auto& arg : cases) {
    const Outcome outcome = Run({arg});
    EXPECT_TRUE(outcome.code == 0 || outcome.code == 2) << outcome.code;
    EXPECT_EQ(outcome.err.find("stopped"), std::string::npos) << outcome.err;
  }
}

TEST_F(ProgramTest, ReadOnlyProgramFolder) {
  namespace sfs = std::filesystem;
  sfs::permissions(dir_.Sub("bin"), sfs::perms::owner_read | sfs::perms::owner_exec);
  const Outcome outcome = Run({"-P:" + ConsoleOptions()});
  sfs::permissions(dir_.Sub("bin"), sfs::perms::owner_all);
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(test::WithoutSummary(outcome.err), "");
}

#endif  // _WIN32

}  // namespace
}  // namespace orvelle
