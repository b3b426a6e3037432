#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/terminal.h"

namespace orvelle::console {

namespace {

constexpr size_t kHeadBytes = 64 * 1024;

std::string SystemText(int error) { return std::strerror(error); }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

size_t TerminalWidth(std::FILE* stream) {
  struct winsize size {};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::FILE* OpenReportFile(const std::string& path,
                          const std::function<bool(const std::string& head)>& may_replace,
                          std::string* why) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 && errno != EEXIST) {
    *why = SystemText(errno);
    return nullptr;
  }
  if (fd < 0) {
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) {
      *why = SystemText(errno);
      return nullptr;
    }
    if (S_ISLNK(named.st_mode)) {
      *why = "it is a link, and a report is never written through one";
      return nullptr;
    }
    if (!S_ISREG(named.st_mode)) {
      *why = "it exists and is not a regular file";
      return nullptr;
    }
    // Opened without blocking and without following a link put there meanwhile; only the
    // file just examined is read and emptied.
    fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !SameFile(named, opened)) {
      *why = fd < 0 ? SystemText(errno) : "it was replaced while it was examined";
      if (fd >= 0) close(fd);
      return nullptr;
    }
    std::string head(kHeadBytes, '\0');
    const ssize_t got = pread(fd, head.data(), head.size(), 0);
    head.resize(got > 0 ? static_cast<size_t>(got) : 0);
    if (got < 0 || !may_replace(head)) {
      *why = got < 0 ? SystemText(errno)
                     : "it exists and holds something other than a report of this program";
      close(fd);
      return nullptr;
    }
    if (ftruncate(fd, 0) != 0) {
      *why = SystemText(errno);
      close(fd);
      return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  std::FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    *why = SystemText(errno);
    close(fd);
  }
  return file;
}

}  // namespace orvelle::console
