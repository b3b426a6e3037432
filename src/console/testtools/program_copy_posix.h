// Test tool: the real program run as a separate process (fork/exec), from a copy in a folder of
// its own so that its state file is written there. For POSIX tests only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "deadline_posix.h"
#include "test_support.h"

namespace orvelle::test {

class ProgramCopy {
 public:
  // Copies the built program to folder/bin/orvelle; it runs in `folder`, and its standard error
  // goes to folder/stderr.txt.
  explicit ProgramCopy(std::string folder)
      : folder_(std::move(folder)), path_(folder_ + "/bin/orvelle") {
    WriteBytes(path_, ReadBytes(BuiltProgram("orvelle")));
    chmod(path_.c_str(), 0755);
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("ORVELLE_QUIET=", 0) != 0) env_.push_back(*e);
    }
    env_.push_back("ORVELLE_QUIET=1");  // no report may reach a browser
  }

  // Sets a variable of the program's environment, or with nullopt removes it.
  void SetEnv(const std::string& name, const std::optional<std::string>& value) {
    const std::string prefix = name + "=";
    std::vector<std::string> kept;
    for (std::string& e : env_) {
      if (e.rfind(prefix, 0) != 0) kept.push_back(std::move(e));
    }
    env_ = std::move(kept);
    if (value) env_.push_back(prefix + *value);
  }

  // Runs in the child just before the program starts (async-signal-safe calls only, such as
  // setrlimit).
  std::function<void()> BeforeExec;

  // Starts the program with one argument.
  pid_t Start(const std::string& arg) {
    std::vector<char*> envp;
    for (std::string& e : env_) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string argument = arg;
    char* argv[] = {path_.data(), argument.data(), nullptr};
    const std::string err = folder_ + "/stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 2) < 0 || chdir(folder_.c_str()) != 0) _exit(126);
      if (BeforeExec) BeforeExec();
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for the program and returns its exit code (-1 when it did not exit by itself).
  static int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  int Run(const std::string& arg) { return Wait(Start(arg)); }
  // The same with a deadline: a program still running after `seconds` is killed (kHung).
  int RunAtMost(const std::string& arg, int seconds) { return WaitAtMost(Start(arg), seconds); }
  std::string Stderr() const { return ReadBytes(folder_ + "/stderr.txt"); }
  // Standard error without the run's summary line.
  std::string Told() const { return WithoutSummary(Stderr()); }

 private:
  std::string folder_;
  std::string path_;
  std::vector<std::string> env_;
};

}  // namespace orvelle::test
