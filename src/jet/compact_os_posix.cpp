#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jet/compact_os.h"
#include "platform/fs.h"

namespace orvelle::jet {

namespace {

// A record lock of the whole file.
struct flock WholeFile(short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return fl;
}

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
  struct flock fl = WholeFile(F_WRLCK);
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

NewFile::~NewFile() { Close(nullptr); }

bool NewFile::Create(const std::string& path, std::string* error) {
  Close(nullptr);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

bool NewFile::Write(const char* data, size_t size, std::string* error) {
  while (size > 0) {
    ssize_t n = write(static_cast<int>(handle_), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool NewFile::WriteAt(uint64_t offset, const char* data, size_t size, std::string* error) {
  while (size > 0) {
    ssize_t n = pwrite(static_cast<int>(handle_), data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

void NewFile::StartWriteback() {
#ifdef __linux__
  if (handle_ >= 0) sync_file_range(static_cast<int>(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool NewFile::Close(std::string* error) {
  if (handle_ < 0) return true;
  int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (close(fd) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

std::string IdentityOf(const struct stat& st) {
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string ReadSmall(int fd, size_t limit) {
  std::string out(limit + 1, '\0');
  ssize_t n = pread(fd, &out[0], out.size(), 0);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

}  // namespace

std::string ComputerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  return host;
}

LockFileHold::~LockFileHold() { Release(); }

bool LockFileHold::Acquire(const std::string& path, std::string* who) {
  Release();
  if (LockFileHeld(path, who)) return false;
  bool created = false;
  bool writable = true;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created = true;
  } else if (errno == EEXIST) {
    fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
      writable = false;
      fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
      if (who) *who = std::string("cannot be opened: ") + std::strerror(errno);
      return false;
    }
  } else if (errno == EACCES || errno == EROFS || errno == EPERM) {
    return true;  // nobody can create it here, so nobody holds it either
  } else {
    if (who) *who = std::string("cannot be created: ") + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (who) *who = "not a regular file";
    close(fd);
    return false;
  }
  struct flock fl = WholeFile(writable ? F_WRLCK : F_RDLCK);
#ifdef F_OFD_SETLK
  const int take = F_OFD_SETLK;
#else
  const int take = F_SETLK;
#endif
  struct stat now;
  if (fcntl(fd, take, &fl) != 0 || stat(path.c_str(), &now) != 0 ||
      IdentityOf(now) != IdentityOf(st)) {
    // Another compactor took it first, or the name changed hands meanwhile.
    if (who) *who = "locked";
    if (created && stat(path.c_str(), &now) == 0 && IdentityOf(now) == IdentityOf(st)) {
      unlink(path.c_str());
    }
    close(fd);
    return false;
  }
  const std::string entry = LockFileEntry();
  if (created) {
    if (pwrite(fd, entry.data(), entry.size(), 0) != static_cast<ssize_t>(entry.size())) {
      // The entry only says who holds the file; the lock is what counts.
    }
  }
  handle_ = fd;
  path_ = path;
  identity_ = IdentityOf(st);
  // A lock file holding only the entry this program writes was left by a killed run.
  const std::string found = created ? entry : ReadSmall(fd, entry.size());
  remove_ = found.size() == entry.size() && found.compare(32, 32, entry, 32, 32) == 0;
  NoteHeldHere(path_, true);
  return true;
}

void LockFileHold::Release() {
  if (handle_ < 0) return;
  NoteHeldHere(path_, false);
  struct stat now;
  // Removed while still locked, so nobody can take the name in between.
  if (remove_ && stat(path_.c_str(), &now) == 0 && IdentityOf(now) == identity_) {
    unlink(path_.c_str());
  }
  close(static_cast<int>(handle_));
  handle_ = -1;
  remove_ = false;
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

bool RenameNoReplace(const std::string& from, const std::string& to, std::string* error) {
  return fs::Publish(from, to, false, error);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace orvelle::jet
