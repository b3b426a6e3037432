// Test tool: runs a piece of a test in a child process with a deadline, so that a fault that
// would block (a FIFO opened for reading, a thread waiting for ever) fails the test instead
// of hanging the test binary. POSIX tests only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace orvelle::test {

// Exit code of a child that had to be killed at its deadline.
inline constexpr int kHung = -2;

// Waits for `pid` at most `seconds`; a process still running then is killed. Returns its exit
// code, kHung when it was killed at the deadline, -1 when it ended by a signal.
inline int WaitAtMost(pid_t pid, int seconds) {
  if (pid <= 0) return -1;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0) return -1;
    if (std::chrono::steady_clock::now() >= limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return kHung;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` in a forked child and returns its result (0..255) as the child's exit code, or
// kHung. The child never returns into the test framework.
inline int RunInChild(const std::function<int()>& body, int seconds = 30) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 255;
    try {
      code = body();
    } catch (...) {
      code = 254;
    }
    _exit(code);
  }
  return WaitAtMost(pid, seconds);
}

}  // namespace orvelle::test
