// The real program run as a separate process over a generated folder tree (fork/exec).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

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

struct ProcessResult {
  int exit_code = -1;
  std::string err;
};

// Runs `program arg` in `dir` with ORVELLE_QUIET=1 (no report may reach a browser) and
// returns its exit code and standard error.
ProcessResult RunProgram(const std::string& program, const std::string& arg,
                         const std::string& dir) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("ORVELLE_QUIET=", 0) != 0) env_text.push_back(*e);
  }
  env_text.push_back("ORVELLE_QUIET=1");
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string prog = program, argument = arg;
  char* argv[] = {prog.data(), argument.data(), nullptr};
  const std::string err_path = dir + "/stderr.txt";

  ProcessResult result;
  const pid_t pid = fork();
  if (pid == 0) {
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 2) < 0 || chdir(dir.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  result.err = ReadBytes(err_path);
  return result;
}

// The program is copied into a temporary folder so that its state file is written there.
class ConsoleProgramTest : public ::testing::Test {
 protected:
  ConsoleProgramTest() : program_(dir_.Sub("bin/orvelle")) {
    WriteBytes(program_, ReadBytes(test::BuiltProgram("orvelle")));
    chmod(program_.c_str(), 0755);
  }
  ScopedTempDir dir_;
  const std::string program_;
};

TEST_F(ConsoleProgramTest, WithoutAnEngineEveryFileFailsAndIsLogged) {
  const std::string src = dir_.Sub("src");
  for (const char* name : {"a.mdb", "b.accdb", "notes.txt", "sub/c.mdb", "sub/deeper/d.accdb"}) {
    WriteBytes(src + "/" + name, "not really a database");
  }
  const ProcessResult run = RunProgram(
      program_,
      "-P:Source=" + src + "/*.*db,Target=out,Subdir=1,PureConsole=1,LogFile=run.log,Engine=dao",
      dir_.Path());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
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
  const ProcessResult run = RunProgram(program_, dir_.Sub("run.batch-tessoly"), dir_.Path());
  const std::string message =
      "No target folder: the option \"Target\" is empty, so no file was processed.";
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "orvelle: " + message + "\n");
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")), message + "\r\n");
  EXPECT_EQ(ReadBytes(src + "/a.mdb"), "database a");
  EXPECT_FALSE(test::Exists(src + "/a.bak"));
}

}  // namespace
}  // namespace orvelle
