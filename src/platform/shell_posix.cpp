#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/shell.h"

namespace orvelle::shell {
namespace {

// Full path of xdg-open on PATH, empty when it is not installed.
std::string FindOpener() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/xdg-open";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Starts `program target` in a grandchild of its own session, so that it outlives nothing of
// ours, leaves no zombie and never shares our terminal.
void LaunchDetached(const std::string& program, const std::string& target) {
  const char* argv[] = {program.c_str(), target.c_str(), nullptr};
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    // Only async-signal-safe calls from here on: the parent may have other threads.
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (null_fd > 2) close(null_fd);
    }
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void OpenWithDesktop(const std::string& target) {
  const std::string program = FindOpener();
  if (program.empty()) return;
  // A relative path that begins with a dash must not be read as an option of the opener.
  LaunchDetached(program, target[0] == '-' ? "./" + target : target);
}

}  // namespace orvelle::shell
