// The real program run as a separate process over a generated folder tree (fork/exec).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/testtools/program_copy_posix.h"
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
  EXPECT_EQ(program_.Stderr(), "");
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

}  // namespace
}  // namespace orvelle
