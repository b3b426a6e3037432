#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jet/compact_os.h"

namespace orvelle::jet {

namespace {

// Another process with the file open shows it in /proc/<pid>/fd (visible for our own user's
// processes); no lock needs to be taken for that.
bool OpenElsewhere(const struct stat& target, std::string* who) {
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  const long self = static_cast<long>(getpid());
  bool found = false;
  while (struct dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (!fds) continue;
    while (struct dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      struct stat st;
      if (stat((fd_dir + "/" + f->d_name).c_str(), &st) == 0 && st.st_dev == target.st_dev &&
          st.st_ino == target.st_ino) {
        found = true;
        if (who) *who = "open in process " + std::to_string(pid);
        break;
      }
    }
    closedir(fds);
    if (found) break;
  }
  closedir(proc);
  return found;
}

}  // namespace

bool LockFileHeld(const std::string& path, std::string* who) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    // A lock file we cannot even read may well be in use: never assume it is stale.
    if (who) *who = std::string("cannot be opened: ") + std::strerror(errno);
    return true;
  }
  bool held = false;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
#ifdef F_OFD_GETLK
  // Open-file-description locks conflict with classic record locks too, even our own.
  const int query = F_OFD_GETLK;
#else
  const int query = F_GETLK;
#endif
  if (fcntl(fd, query, &fl) == 0 && fl.l_type != F_UNLCK) {
    held = true;
    if (who) {
      *who = fl.l_pid > 0 ? "locked by process " + std::to_string(fl.l_pid) : "locked";
    }
  }
  if (!held) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        held = true;
        if (who) *who = "locked";
      }
    } else {
      flock(fd, LOCK_UN);
    }
  }
  struct stat st;
  if (!held && fstat(fd, &st) == 0) held = OpenElsewhere(st, who);
  close(fd);
  return held;
}

bool SyncFile(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    if (error) *error = std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  return close(fd) == 0;
}

namespace {

// The new name lives in the folder's own data: without this a power cut could lose it even
// though the file's contents are on the disk. Some file systems refuse a folder fsync; the
// name then is as durable as they make it.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool RenameNoReplace(const std::string& from, const std::string& to, std::string* error) {
  // A hard link fails when the target exists, which rename() would silently replace.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    SyncFolderOf(to);
    return true;
  }
  if (errno != EEXIST && errno != EPERM && errno != ENOTSUP && errno != EXDEV) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  if (errno == EEXIST || PathExists(to)) {
    if (error) *error = std::strerror(EEXIST);
    return false;
  }
  // File systems without hard links.
  if (rename(from.c_str(), to.c_str()) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  SyncFolderOf(to);
  return true;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace orvelle::jet
