// The real program run as a separate process over a generated folder tree (fork/exec).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "engine/testtools/program_copy_posix.h"
#include "jet/testtools/jet_fixtures.h"
#include "platform/text.h"
#include "test_support.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::ScopedTempDir;
using test::WriteBytes;

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

std::vector<std::string> LogLines(const std::string& path) {
  const std::string log = ReadBytes(path);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsFifo(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

const char kNoEngine[] = " => Invalid class string, ProgID: \"DAO.DBEngine.36\"";

class ConsoleProgramTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  test::ProgramCopy program_{dir_.Path()};
};

TEST_F(ConsoleProgramTest, WithoutAnEngineEveryFileFailsAndIsLogged) {
  const std::string src = dir_.Sub("src");
  for (const char* name : {"a.mdb", "b.accdb", "notes.txt", "sub/c.mdb", "sub/deeper/d.accdb"}) {
    WriteBytes(src + "/" + name, "not really a database");
  }
  EXPECT_EQ(program_.Run("-P:Source=" + src +
                         "/*.*db,Target=out,Subdir=1,PureConsole=1,LogFile=run.log,Engine=dao"),
            0);
  EXPECT_EQ(program_.Told(), "");
  const std::string no_engine = " => Invalid class string, ProgID: \"DAO.DBEngine.36\"";
  std::string log = ReadBytes(dir_.Sub("run.log"));
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  EXPECT_EQ(Sorted(lines), (std::vector<std::string>{
                               "Failure => " + src + "/a.mdb" + no_engine,
                               "Failure => " + src + "/b.accdb" + no_engine,
                               "Failure => " + src + "/sub/c.mdb" + no_engine,
                               "Failure => " + src + "/sub/deeper/d.accdb" + no_engine,
                           }));
  EXPECT_EQ(Joined(lines), log);
}

TEST_F(ConsoleProgramTest, EmptyTargetEndsWithTwoAndSaysWhy) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  WriteBytes(dir_.Sub("run.batch-tessoly"),
             "Source=" + src + "/*.*db\r\nTarget=\r\nPureConsole=1\r\nLogFile=run.log\r\n");
  const int exit_code = program_.Run(dir_.Sub("run.batch-tessoly"));
  const std::string message =
      "No target folder: the option \"Target\" is empty, so no file was processed.";
  EXPECT_EQ(exit_code, 2);
  EXPECT_EQ(program_.Stderr(), "orvelle: " + message + "\n");
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), message + "\r\n");
  EXPECT_EQ(ReadBytes(src + "/a.mdb"), "database a");
  EXPECT_FALSE(test::Exists(src + "/a.bak"));
}

// A name with a line break cannot forge a line, and one that is no UTF-8 is not logged as
// another name: each log line names its file exactly, escaped as the README says.
TEST_F(ConsoleProgramTest, NamesThatCouldForgeLinesAreLoggedEscaped) {
  const std::string src = dir_.Sub("src");
  const std::vector<std::string> names = {"x\r\nSuccess => forged.mdb", "\xFF\xFE.mdb", "a%41.mdb",
                                          "plain.mdb"};
  for (const auto& name : names) WriteBytes(src + "/" + name, "not really a database");
  ASSERT_EQ(
      program_.RunAtMost(
          "-P:Source=" + src + "/*.mdb,Target=out,PureConsole=1,LogFile=run.log,Engine=dao", 60),
      0);
  EXPECT_EQ(program_.Told(), "");
  EXPECT_EQ(Sorted(LogLines(dir_.Sub("run.log"))),
            Sorted({"Failure => " + src + "/x%0D%0ASuccess => forged.mdb" + kNoEngine,
                    "Failure => " + src + "/%FF%FE.mdb" + kNoEngine,
                    "Failure => " + src + "/a%2541.mdb" + kNoEngine,
                    "Failure => " + src + "/plain.mdb" + kNoEngine}));
  for (const auto& line : LogLines(dir_.Sub("run.log"))) {
    const std::string path = text::UnescapeLine(line.substr(11, line.find(kNoEngine) - 11));
    EXPECT_TRUE(test::Exists(path)) << line;
  }
}

// A run that can search nothing or set up nothing says why on standard error and in the log,
// ends with 2, and leaves every folder as it was.
TEST_F(ConsoleProgramTest, RunsThatCannotStartEndWithTwoAndSayWhy) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  const std::string not_run = ", so no file was processed.";
  struct Case {
    std::string options;
    std::string message;
  };
  std::vector<Case> cases = {
      {"Source=" + dir_.Sub("nowhere") + "/*.mdb,Target=" + dir_.Sub("out"),
       "The source folder \"" + dir_.Sub("nowhere") +
           "/\" cannot be searched (No such file or directory)" + not_run},
      {"Source=" + src + "/a.mdb/*.mdb,Target=" + dir_.Sub("out"),
       "The source folder \"" + src + "/a.mdb/\" cannot be searched (Not a directory)" + not_run},
      {"Source=" + src + "/*.mdb,Target=" + src + "/a.mdb/out",
       "The target folder \"" + src + "/a.mdb/out/\" cannot be created (Not a directory)" +
           not_run},
      {"Source=" + src + "/*.mdb,Target=http://example.org/out",
       "The target \"http://example.org/out\" is an address, not a folder" + not_run},
      {"Source=,Target=" + dir_.Sub("out"), "No source: the option \"Source\" is empty" + not_run},
  };
  std::vector<std::string> expected_entries = {"bin", "run.log", "src", "stderr.txt"};
  if (::geteuid() != 0) {
    expected_entries.insert(expected_entries.begin() + 1, "locked");
    WriteBytes(dir_.Sub("locked/b.mdb"), "database b");
    ::chmod(dir_.Sub("locked").c_str(), 0);
    cases.push_back({"Source=" + dir_.Sub("locked") + "/*.mdb,Target=" + dir_.Sub("out"),
                     "The source folder \"" + dir_.Sub("locked") +
                         "/\" cannot be searched (Permission denied)" + not_run});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    EXPECT_EQ(program_.RunAtMost("-P:" + c.options + ",PureConsole=1,LogFile=run.log", 60), 2);
    EXPECT_EQ(program_.Stderr(), "orvelle: " + c.message + "\n");
    EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), c.message + "\r\n");
    // Nothing new beside the log: no target folder, no folder named after an address.
    EXPECT_EQ(Entries(dir_.Path()), expected_entries);
    EXPECT_EQ(Entries(src), std::vector<std::string>{"a.mdb"});
  }
  ::chmod(dir_.Sub("locked").c_str(), 0755);
}

// Nothing that is not a regular file is opened as a database or a project: a FIFO would
// block the run for ever, /dev/zero would never end. Each run has a deadline.
TEST_F(ConsoleProgramTest, NonRegularFilesNeverHoldTheRunUp) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  ASSERT_EQ(::mkfifo((src + "/pipe.mdb").c_str(), 0600), 0);
  ASSERT_EQ(
      program_.RunAtMost(
          "-P:Source=" + src + "/*.mdb,Target=out,PureConsole=1,LogFile=run.log,Engine=dao", 60),
      0);
  EXPECT_EQ(LogLines(dir_.Sub("run.log")),
            std::vector<std::string>{"Failure => " + src + "/a.mdb" + kNoEngine});
  EXPECT_TRUE(IsFifo(src + "/pipe.mdb"));
  EXPECT_EQ(Entries(src), (std::vector<std::string>{"a.mdb", "pipe.mdb"}));

  const std::string fifo_project = dir_.Sub("fifo.batch-tessoly");
  const std::string zero_project = dir_.Sub("zero.batch-tessoly");
  ASSERT_EQ(::mkfifo(fifo_project.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero_project.c_str()), 0);
  for (const std::string& project : {fifo_project, zero_project}) {
    SCOPED_TRACE(project);
    // Without a project there is no console run, and this build has no window.
    EXPECT_EQ(program_.RunAtMost(project, 60), 2);
    EXPECT_EQ(program_.Stderr().substr(0, program_.Stderr().find('\n') + 1),
              "orvelle: the project was not loaded: Cannot read file \"" + project +
                  "\". It is not a regular file.\n");
  }
  EXPECT_TRUE(IsFifo(fifo_project));

  // The program's own side files, the usage state and the recent-project list, are neither
  // read nor replaced when something else stands in their place.
  const std::string state = dir_.Sub("bin/orvelle.ext");
  const std::string recent = dir_.Sub("bin/orvelle.log");
  std::filesystem::remove(state);
  std::filesystem::remove(recent);
  ASSERT_EQ(::mkfifo(state.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(recent.c_str(), 0600), 0);
  const std::string project = dir_.Sub("run.batch-tessoly");
  WriteBytes(project, "Source=" + src +
                          "/*.mdb\r\nTarget=out\r\nPureConsole=1\r\n"
                          "LogFile=run.log\r\nEngine=dao\r\n");
  EXPECT_EQ(program_.RunAtMost(project, 60), 0);
  EXPECT_EQ(LogLines(dir_.Sub("run.log")).size(), 1u);
  EXPECT_TRUE(IsFifo(state));
  EXPECT_TRUE(IsFifo(recent));
}

// The outputs of a target inside the searched tree are never compacted again: three runs in
// a row each find the same two databases.
TEST_F(ConsoleProgramTest, TargetInsideTheSourceTreeIsNotSearchedAgain) {
  const std::string monitor = jet::test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor);
  const std::string tree = dir_.Sub("tree");
  WriteBytes(tree + "/Monitor.mdb", ReadBytes(monitor));
  WriteBytes(tree + "/sub/copy.mdb", ReadBytes(monitor));
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_EQ(program_.RunAtMost("-P:Source=" + tree + "/*.mdb,Target=" + tree +
                                     "/out,Subdir=1,IsOverwrite=1,PureConsole=1,LogFile=run.log",
                                 120),
              0);
    EXPECT_EQ(program_.Told(), "");
    EXPECT_EQ(Sorted(LogLines(dir_.Sub("run.log"))),
              (std::vector<std::string>{
                  "Success => " + tree + "/Monitor.mdb => " + tree + "/out/Monitor.mdb",
                  "Success => " + tree + "/sub/copy.mdb => " + tree + "/out/sub/copy.mdb"}));
  }
  EXPECT_EQ(Entries(tree + "/out"), (std::vector<std::string>{"Monitor.mdb", "sub"}));
  EXPECT_EQ(Entries(tree + "/out/sub"), std::vector<std::string>{"copy.mdb"});
}

// A "file:" address in "Target" names the folder, as it does in "Source"; no folder called
// "file:" appears in the working folder.
TEST_F(ConsoleProgramTest, FileAddressTargetIsTheFolderItNames) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  ASSERT_EQ(dir_.Path()[0], '/');
  ASSERT_EQ(program_.RunAtMost("-P:Source=file://" + src + "/*.mdb,Target=file://" +
                                   dir_.Sub("out") + ",PureConsole=1,LogFile=run.log,Engine=dao",
                               60),
            0);
  EXPECT_EQ(Entries(dir_.Path()),
            (std::vector<std::string>{"bin", "out", "run.log", "src", "stderr.txt"}));
  EXPECT_EQ(LogLines(dir_.Sub("run.log")),
            std::vector<std::string>{"Failure => " + src + "/a.mdb" + kNoEngine});
}

TEST_F(ConsoleProgramTest, RegExtThatDoesNotCompileIsToldAndLetsEveryFileThrough) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  WriteBytes(src + "/b.mdb", "database b");
  ASSERT_EQ(program_.RunAtMost("-P:Source=" + src +
                                   "/*.mdb,Target=out,RegExt=[unclosed,PureConsole=1,"
                                   "LogFile=run.log,Engine=dao",
                               60),
            0);
  EXPECT_EQ(LogLines(dir_.Sub("run.log")).size(), 2u);
  const std::string err = program_.Told();
  const std::string head = "orvelle: The expression \"[unclosed\" of \"RegExt\" does not compile (";
  const std::string tail = "); it is not applied, so every file the mask accepts is processed.\n";
  EXPECT_EQ(err.substr(0, head.size()), head);
  ASSERT_GT(err.size(), head.size() + tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

// A "ThreadsCount" far beyond use is bounded (each job of the chain builds the next, so it is
// also a depth of recursion); the run says so and processes every file.
TEST_F(ConsoleProgramTest, ThreadsCountIsBounded) {
  const std::string src = dir_.Sub("src");
  for (const char* name : {"a.mdb", "b.mdb", "c.mdb"}) WriteBytes(src + "/" + name, "x");
  ASSERT_EQ(program_.RunAtMost("-P:Source=" + src +
                                   "/*.mdb,Target=out,ThreadsCount=100000,PureConsole=1,"
                                   "LogFile=run.log,Engine=dao",
                               120),
            0);
  EXPECT_EQ(program_.Told(),
            "orvelle: \"ThreadsCount\" is 100000; at most 64 files are compacted side by side.\n");
  EXPECT_EQ(LogLines(dir_.Sub("run.log")).size(), 3u);
}

// Under an address-space limit with large thread stacks the system cannot create most of the
// threads a run asks for: the run goes on with the workers that started, or, when none did,
// ends with 2 and says why. It never waits for a thread that does not exist.
TEST_F(ConsoleProgramTest, WorkerThreadsThatCannotStartEndTheRunCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers reserve far more address space than the limit allows";
#endif
  const std::string src = dir_.Sub("src");
  constexpr int kFiles = 200;  // enough to keep a started worker busy while others start
  for (int i = 0; i < kFiles; ++i) WriteBytes(src + "/" + std::to_string(i) + ".mdb", "x");
  constexpr rlim_t kMiB = 1024 * 1024;
  // Each thread reserves its stack (the stack limit, 512 MiB) in the address space: 900 MiB
  // leave room for one thread beside the main one, so of the search thread and four workers
  // at most one runs at a time.
  program_.BeforeExec = [] {
    struct rlimit stack {
      512 * kMiB, RLIM_INFINITY
    };
    struct rlimit as {
      900 * kMiB, 900 * kMiB
    };
    if (setrlimit(RLIMIT_STACK, &stack) != 0 || setrlimit(RLIMIT_AS, &as) != 0) _exit(125);
  };
  const int code = program_.RunAtMost("-P:Source=" + src +
                                          "/*.mdb,Target=out,ThreadsCount=4,PureConsole=1,"
                                          "LogFile=run.log,Engine=dao",
                                      60);
  ASSERT_NE(code, test::kHung) << "the run waited for threads that never started";
  const std::string err = program_.Stderr();
  if (code == 2) {
    // The search thread still held the room when the workers were started.
    const std::string message =
        "No worker thread could be started (Resource temporarily unavailable), so no file was "
        "processed.";
    EXPECT_EQ(err, "orvelle: " + message + "\n");
    EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), message + "\r\n");
  } else {
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::regex_match(
        err, std::regex("orvelle: Only ([1-3]) of 4 worker threads could be started \\(Resource "
                        "temporarily unavailable\\); the run goes on with \\1\\.\n")))
        << err;
    EXPECT_EQ(LogLines(dir_.Sub("run.log")).size(), static_cast<size_t>(kFiles));
  }
}

// Here every run is a console run: the report address of failed files, and a notice, are
// printed on standard error, and no browser or mail program is started.
TEST_F(ConsoleProgramTest, AddressesArePrintedAndNothingIsStarted) {
  const std::string src = dir_.Sub("src");
  WriteBytes(src + "/a.mdb", "database a");
  const std::string marker = dir_.Sub("started.txt");
  const std::string fake_bin = dir_.Sub("fake-bin");
  for (const char* opener : {"xdg-open", "sensible-browser", "x-www-browser", "www-browser"}) {
    const std::string path = fake_bin + "/" + opener;
    WriteBytes(path, "#!/bin/sh\necho \"$0 $*\" >> '" + marker + "'\n");
    ::chmod(path.c_str(), 0755);
  }
  program_.SetEnv("ORVELLE_QUIET", std::nullopt);
  program_.SetEnv("BROWSER", fake_bin + "/x-www-browser");
  const char* path = std::getenv("PATH");
  program_.SetEnv("PATH", fake_bin + ":" + (path ? path : "/usr/bin:/bin"));

  ASSERT_EQ(
      program_.RunAtMost(
          "-P:Source=" + src + "/*.mdb,Target=out,PureConsole=1,LogFile=run.log,Engine=dao", 60),
      0);
  const std::string report =
      "orvelle: to open: https://www.orvelle.example/net/"
      "?a=err&e=Invalid%20class%20string,%20ProgID:%20DAO.DBEngine.36&p=tessoly&v=";
  std::string err = program_.Told();
  EXPECT_EQ(err.substr(0, report.size()), report);
  EXPECT_EQ(err.find('\n'), err.size() - 1);

  ASSERT_EQ(program_.RunAtMost("-Inew\ninstall", 60), 0);
  err = program_.Stderr();
  const std::string notice = "orvelle: to open: https://www.orvelle.example/net/?a=ins&p=tessoly";
  EXPECT_EQ(err.substr(0, notice.size()), notice);
  const std::string extra = "&new%0Ainstall\n";
  ASSERT_GT(err.size(), extra.size());
  EXPECT_EQ(err.substr(err.size() - extra.size()), extra);
  EXPECT_FALSE(test::Exists(marker));
}

}  // namespace
}  // namespace orvelle
