#include "console/console_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "jobs/testtools/stand_in_engine.h"
#include "platform/automation.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/shell.h"
#include "product/info.h"
#include "project/match.h"
#include "project/project.h"
#include "test_support.h"
#include "ui/testtools/scoped_env.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::ScopedEnv;
using test::ScopedTempDir;
using test::WriteBytes;

// `relative` (written with "/") below `dir`, with the platform's delimiter.
std::string In(const std::string& dir, std::string relative) {
  for (char& c : relative) {
    if (c == '/') c = kPathDelim;
  }
  return dir + kPathDelim + relative;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A whole console run in-process: the process-wide objects of a program in a temporary
// folder, the stand-in engine, quiet off and a recording shell.
class ConsoleRunTest : public ::testing::Test {
 protected:
  ConsoleRunTest()
      : quiet_("ORVELLE_QUIET", std::nullopt),
        exe_(dir_.Sub("bin/orvelle")),
        src_(dir_.Sub("src")),
        out_(dir_.Sub("out")) {
    WriteBytes(exe_, "program");
    WriteBytes(In(src_, "a.mdb"), "database a");
    WriteBytes(In(src_, "b.mdb"), "database b");
    WriteBytes(In(src_, "notes.txt"), "not a database");
    WriteBytes(In(src_, "sub/c.accdb"), "database c");
    saved_info_ = kxInfo;
    saved_project_ = kxProject;
    saved_match_ = kxMatch;
    info_ = std::make_unique<TkxInfo>(exe_);
    project_ = std::make_unique<TkxProject>(exe_, "");
    FillDescriptor(*project_);
    kxInfo = info_.get();
    kxProject = project_.get();
    kxMatch = nullptr;
    shell::SetOpenerForTesting([this](const std::string& target) { opened_.push_back(target); });
    Set("Source", In(src_, "*.*db"));
    Set("Target", out_);
    Set("LogFile", dir_.Sub("run.log"));
  }
  ~ConsoleRunTest() override {
    shell::SetOpenerForTesting(nullptr);
    kxMatch = saved_match_;
    kxProject = saved_project_;
    kxInfo = saved_info_;
  }

  void Set(const std::string& name, const std::string& value) {
    project_->Options().SetValue(name, value);
  }

  int RunConsole() {
    TkxMain main;
    const int code = main.Run();
    log_ = main.Log();
    return code;
  }

  std::string Report(const std::string& e) const {
    return "https://www.orvelle.example/net/?a=err&e=" + e +
           "&p=tessoly&v=2026.18.1003.2686&c=" + info_->CounterText() +
           "&i=" + std::to_string(info_->InstallNo());
  }

  ScopedTempDir dir_;
  ScopedEnv quiet_;
  const std::string exe_, src_, out_;
  testing::StandInEngine engine_{"DAO.DBEngine.120"};
  std::unique_ptr<TkxInfo> info_;
  std::unique_ptr<TkxProject> project_;
  TkxInfo* saved_info_ = nullptr;
  TkxProject* saved_project_ = nullptr;
  TkxMatchBase* saved_match_ = nullptr;
  std::vector<std::string> opened_;
  std::vector<std::string> log_;
};

TEST_F(ConsoleRunTest, SuccessesAreLoggedCountedAndNotReported) {
  Set("Subdir", "1");
  Set("ThreadsCount", "2");
  EXPECT_EQ(RunConsole(), 0);
  EXPECT_EQ(Sorted(log_),
            (std::vector<std::string>{
                "Success => " + In(src_, "a.mdb") + " => " + In(out_, "a.mdb"),
                "Success => " + In(src_, "b.mdb") + " => " + In(out_, "b.mdb"),
                "Success => " + In(src_, "sub/c.accdb") + " => " + In(out_, "sub/c.accdb"),
            }));
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), Joined(log_));
  EXPECT_EQ(ReadBytes(In(out_, "sub/c.accdb")), "database c");
  EXPECT_EQ(info_->CounterText(), "r1c1a3s3f0");
  EXPECT_TRUE(opened_.empty());
}

TEST_F(ConsoleRunTest, SkippedFileHasEmptyMessageAndIsNotASuccess) {
  Set("Source", In(src_, "a.mdb"));
  Set("IsOverwrite", "Skip");
  WriteBytes(In(out_, "a.mdb"), "older target");
  EXPECT_EQ(RunConsole(), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"Success => " + In(src_, "a.mdb") + " => "}));
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), "Success => " + In(src_, "a.mdb") + " => \r\n");
  EXPECT_EQ(ReadBytes(In(out_, "a.mdb")), "older target");
  EXPECT_EQ(info_->CounterText(), "r1c1a1s0f0");
}

TEST_F(ConsoleRunTest, TwoFailuresWithOneMessageGiveOneReport) {
  engine_.FailWith("Disk or network error?");
  EXPECT_EQ(RunConsole(), 0);
  EXPECT_EQ(Sorted(log_), (std::vector<std::string>{
                              "Failure => " + In(src_, "a.mdb") + " => Disk or network error?",
                              "Failure => " + In(src_, "b.mdb") + " => Disk or network error?",
                          }));
  EXPECT_EQ(info_->CounterText(), "r1c1a2s0f2");
  EXPECT_EQ(opened_, (std::vector<std::string>{Report("Disk or network error%3F")}));
}

TEST_F(ConsoleRunTest, OneFailureAmongSuccesses) {
  Set("Subdir", "1");
  engine_.OnCall([](const automation::Args& args) {
    if (args[0] && args[0]->find(In("", "b.")) != std::string::npos) {
      throw automation::ProviderError("Unrecognized database format 'b?'.");
    }
  });
  EXPECT_EQ(RunConsole(), 0);
  ASSERT_EQ(log_.size(), 3u);
  EXPECT_EQ(Sorted(log_)[0],
            "Failure => " + In(src_, "b.mdb") + " => Unrecognized database format 'b?'");
  EXPECT_EQ(info_->CounterText(), "r1c1a3s2f1");
  EXPECT_EQ(opened_, (std::vector<std::string>{Report("Unrecognized database format 'b%3F'")}));
}

TEST_F(ConsoleRunTest, ZeroThreadsStillRunsOneWorkerAndNoLogOptionWritesNoFile) {
  Set("Subdir", "1");
  Set("ThreadsCount", "0");
  Set("LogFile", "");
  EXPECT_EQ(RunConsole(), 0);
  EXPECT_EQ(log_.size(), 3u);
  EXPECT_FALSE(test::Exists(dir_.Sub("run.log")));
  EXPECT_EQ(info_->GetState("S"), "3");
}

TEST_F(ConsoleRunTest, NothingFoundWritesAnEmptyLog) {
  fs::ForceDirectories(dir_.Sub("empty"));
  Set("Source", In(dir_.Sub("empty"), "*.*db"));
  EXPECT_EQ(RunConsole(), 0);
  EXPECT_TRUE(log_.empty());
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), "");
  EXPECT_EQ(info_->CounterText(), "r1c1a0s0f0");
  EXPECT_TRUE(opened_.empty());
}

TEST_F(ConsoleRunTest, EmptyTargetProcessesAndTouchesNothing) {
  Set("Target", "");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunConsole(), 2);
  const std::string message =
      "No target folder: the option \"Target\" is empty, so no file was processed.";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "orvelle: " + message + "\n");
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), message + "\r\n");
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(engine_.Calls().empty());
  std::vector<std::string> names;
  fs::EnumerateFolder(src_ + kPathDelim, "*", fs::kAttrDirectory | fs::kAttrHidden,
                      [&](const fs::DirEntry& entry) {
                        names.push_back(entry.name);
                        return true;
                      });
  EXPECT_EQ(Sorted(names), (std::vector<std::string>{"a.mdb", "b.mdb", "notes.txt", "sub"}));
  EXPECT_EQ(info_->GetState("C"), "");
  EXPECT_TRUE(opened_.empty());
}

TEST_F(ConsoleRunTest, UnwritableLogFileEndsTheRunCleanly) {
  const std::string log_path = In(src_, "a.mdb/run.log");
  Set("LogFile", log_path);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunConsole(), 0);
  const std::string err = test::WithoutSummary(::testing::internal::GetCapturedStderr());
  // The system's own reason ends the line.
  const std::string head =
      "orvelle: The log file could not be written: Cannot create file \"" + log_path + "\". ";
  EXPECT_EQ(err.substr(0, head.size()), head);
  EXPECT_EQ(err.find('\n'), err.size() - 1);
  EXPECT_EQ(log_.size(), 2u);
  EXPECT_EQ(info_->GetState("S"), "2");
}

}  // namespace
}  // namespace orvelle
