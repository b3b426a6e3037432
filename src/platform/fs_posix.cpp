#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"

namespace orvelle::fs {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

std::string ErrorText(int err) { return std::strerror(err); }

void SetError(std::string* error, int err) {
  if (error) *error = ErrorText(err);
}

std::string NoTrailingSlash(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Case-insensitive "*" / "?" match over units of T; "?" stands for exactly one unit.
template <typename T, typename Fold>
bool WildcardMatchUnits(const T* name, const T* pattern, Fold fold) {
  const T* star = nullptr;
  const T* resume = nullptr;
  while (*name) {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || (*pattern && fold(*pattern) == fold(*name))) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == 0;
}

bool IsAscii(const char* s) {
  for (; *s; ++s) {
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  }
  return true;
}

// Letter case is folded in every script and "?" is one character, however many bytes it
// takes; plain ASCII names (the common case) are matched byte by byte.
bool WildcardMatch(const char* name, const char* pattern, bool pattern_ascii) {
  if (pattern_ascii && IsAscii(name)) {
    return WildcardMatchUnits(name, pattern, [](char c) { return text::LowerAscii(c); });
  }
  const std::wstring wide_name = text::ToMatchText(name);
  const std::wstring wide_pattern = text::ToMatchText(pattern);
  return WildcardMatchUnits(wide_name.c_str(), wide_pattern.c_str(),
                            [](wchar_t c) { return text::FoldCase(static_cast<char32_t>(c)); });
}

// "*" and "*.*" match every name, names without a point included, as they do on Windows.
bool MatchesAll(const std::string& pattern) { return pattern == "*" || pattern == "*.*"; }

int64_t ToFileTime(const struct timespec& ts) {
  return (static_cast<int64_t>(ts.tv_sec) + kEpochDelta) * kTicksPerSecond + ts.tv_nsec / 100;
}

struct timespec FromFileTime(int64_t ft) {
  struct timespec ts;
  int64_t unix_ticks = ft - kEpochDelta * kTicksPerSecond;
  int64_t sec = unix_ticks / kTicksPerSecond;
  int64_t rem = unix_ticks % kTicksPerSecond;
  if (rem < 0) {
    rem += kTicksPerSecond;
    --sec;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rem * 100);
  return ts;
}

bool WriteFully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports a failing close (delayed write errors show up there).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

bool EnumerateFolder(const std::string& dir, const std::string& pattern, uint32_t accepted,
                     const std::function<bool(const DirEntry&)>& visit, std::string* error) {
  if (pattern.empty()) return true;
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return SetError(error, errno), false;
  const bool all = MatchesAll(pattern);
  const bool pattern_ascii = IsAscii(pattern.c_str());
  const int dfd = ::dirfd(d);
  DirEntry entry;
  while (struct dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    if (!all && !WildcardMatch(name, pattern.c_str(), pattern_ascii)) continue;
    uint32_t attrs = 0;
    if (name[0] == '.') attrs |= kAttrHidden;
    if ((attrs & kAttrHidden) && !(accepted & kAttrHidden)) continue;
    bool is_dir = e->d_type == DT_DIR;
    bool is_device =
        e->d_type == DT_FIFO || e->d_type == DT_CHR || e->d_type == DT_BLK || e->d_type == DT_SOCK;
    struct stat st;
    bool have_stat = false;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      // A link to a folder counts as a folder; a dangling link as a file.
      have_stat = ::fstatat(dfd, name, &st, 0) == 0;
      is_dir = have_stat && S_ISDIR(st.st_mode);
      is_device = have_stat && !is_dir && !S_ISREG(st.st_mode);
    }
    if (is_dir) {
      if (!(accepted & kAttrDirectory)) continue;
      attrs |= kAttrDirectory;
    } else {
      attrs |= is_device ? kAttrDevice : kAttrArchive;
      // The status call costs more than the listing itself, so it is made only when the
      // read-only bit can decide anything.
      if (!(accepted & kAttrReadOnly)) {
        if (!have_stat) have_stat = ::fstatat(dfd, name, &st, 0) == 0;
        if (have_stat && !(st.st_mode & S_IWUSR)) attrs |= kAttrReadOnly;
      }
    }
    entry.name = name;
    entry.attributes = attrs;
    if (!visit(entry)) break;
  }
  ::closedir(d);
  return true;
}

std::string FolderIdentity(const std::string& dir) {
  struct stat st;
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) return std::string();
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& dir, std::string* error) {
  std::string path = NoTrailingSlash(dir);
  if (path.empty()) return SetError(error, ENOENT), false;
  if (DirectoryExists(path)) return true;
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(path.substr(0, slash), error)) return false;
  }
  const int made = ::mkdir(path.c_str(), 0777);
  const int err = errno;
  // Another thread may have created it meanwhile; only the outcome counts.
  if (DirectoryExists(path)) return true;
  SetError(error, made == 0 ? ENOTDIR : (err == EEXIST ? ENOTDIR : err));
  return false;
}

bool CopyFileTo(const std::string& from, const std::string& to, bool replace, std::string* error) {
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files are copied.
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) return SetError(error, errno), false;
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return SetError(error, errno), false;
  if (!S_ISREG(st.st_mode)) return SetError(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL), false;
  ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
  if (!replace && ::access(to.c_str(), F_OK) == 0) return SetError(error, EEXIST), false;

  // Written beside the target under a temporary name and moved into place only when whole,
  // so a failed copy never leaves a partial file or destroys the one it would replace.
  std::string temp = to + ".~cpXXXXXX";
  std::vector<char> temp_name(temp.begin(), temp.end());
  temp_name.push_back(0);
  Fd out(::mkostemp(temp_name.data(), O_CLOEXEC));
  if (out.get() < 0) return SetError(error, errno), false;
  temp.assign(temp_name.data());
  auto fail = [&](int err) {
    ::unlink(temp.c_str());
    SetError(error, err);
    return false;
  };
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    if (!WriteFully(out.get(), buffer.data(), static_cast<size_t>(n))) return fail(errno);
  }
  ::fchmod(out.get(), st.st_mode & 07777);
  // The copy keeps the last-write time, as a copy on Windows does.
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(out.get(), times);
  if (!out.Close()) return fail(errno);
  if (replace) {
    if (::rename(temp.c_str(), to.c_str()) != 0) return fail(errno);
  } else {
    if (::link(temp.c_str(), to.c_str()) != 0) return fail(errno);
    ::unlink(temp.c_str());
  }
  return true;
}

bool MoveFileTo(const std::string& from, const std::string& to, std::string* error) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return SetError(error, errno), false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // The file system cannot refuse to replace by itself.
    if (::lstat(to.c_str(), &st) == 0) return SetError(error, EEXIST), false;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    err = errno;
  }
  if (err == EXDEV && S_ISREG(st.st_mode)) {
    // Across file systems a move is a copy and a delete.
    if (!CopyFileTo(from, to, false, error)) return false;
    if (::unlink(from.c_str()) != 0) {
      err = errno;
      ::unlink(to.c_str());
      return SetError(error, err), false;
    }
    return true;
  }
  return SetError(error, err), false;
}

bool DeleteFileAt(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool ClearReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

FileInfo Inspect(const std::string& path) {
  FileInfo info;
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return info;
  info.exists = true;
  info.is_link = S_ISLNK(st.st_mode);
  if (info.is_link && ::stat(path.c_str(), &st) != 0) {
    info.kind = "a link that leads nowhere";
    return info;
  }
  info.identity = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                  std::to_string(static_cast<unsigned long long>(st.st_ino));
  info.is_regular = S_ISREG(st.st_mode);
  if (S_ISDIR(st.st_mode)) {
    info.kind = "a folder";
  } else if (S_ISFIFO(st.st_mode)) {
    info.kind = "a named pipe";
  } else if (S_ISSOCK(st.st_mode)) {
    info.kind = "a socket";
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    info.kind = "a device";
  }
  return info;
}

std::string RealPath(const std::string& path) {
  if (path.empty()) return std::string();
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::string();
  std::string out(real);
  ::free(real);
  return out;
}

std::string RandomToken(size_t length) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<unsigned char> bytes(length);
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::getrandom(bytes.data() + got, length - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (got < length) {
    // Without getrandom: the kernel's random device, which every Linux system has.
    Fd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    while (fd.get() >= 0 && got < length) {
      ssize_t n = ::read(fd.get(), bytes.data() + got, length - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  if (got < length) throw FileError("No random source for a temporary name");
  std::string out;
  for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
  return out;
}

std::string CreatePrivateFolder(const std::string& parent, const std::string& prefix,
                                std::string* error) {
  std::string name = prefix[0] == '.' ? prefix : "." + prefix;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string dir = parent + name + RandomToken();
    if (::mkdir(dir.c_str(), 0700) == 0) return dir + "/";
    if (errno != EEXIST) return SetError(error, errno), std::string();
  }
  return SetError(error, EEXIST), std::string();
}

bool RemoveFolder(const std::string& dir) {
  std::string path = NoTrailingSlash(dir);
  return !path.empty() && ::rmdir(path.c_str()) == 0;
}

namespace {

// The new name lives in the folder's own data: without this a power cut could lose it.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error) {
  if (replace) {
    if (::rename(from.c_str(), to.c_str()) != 0) return SetError(error, errno), false;
  } else if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    int err = errno;
    if (err != EINVAL && err != ENOSYS) return SetError(error, err), false;
    // The file system cannot refuse to replace by itself; a hard link refuses instead.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
    } else {
      err = errno;
      struct stat st;
      if (err == EEXIST || ::lstat(to.c_str(), &st) == 0) return SetError(error, EEXIST), false;
      if (err != EPERM && err != ENOTSUP && err != EXDEV) return SetError(error, err), false;
      // Neither: the name is free, and a plain rename is all such a file system offers.
      if (::rename(from.c_str(), to.c_str()) != 0) return SetError(error, errno), false;
    }
  }
  SyncFolderOf(to);
  return true;
}

bool CopyPermissions(const std::string& from, const std::string& to, std::string* error) {
  struct stat model, now;
  if (::stat(from.c_str(), &model) != 0 || ::stat(to.c_str(), &now) != 0) {
    return SetError(error, errno), false;
  }
  // Owner and group first: changing them may clear the mode's set-id bits.
  if ((model.st_uid != now.st_uid || model.st_gid != now.st_gid) &&
      ::chown(to.c_str(), model.st_uid, model.st_gid) != 0) {
    return SetError(error, errno), false;
  }
  if (::chmod(to.c_str(), model.st_mode & 07777) != 0) return SetError(error, errno), false;
  return true;
}

bool LimitPermissions(const std::string& to, const std::string& model, std::string* error) {
  struct stat m, now;
  if (::stat(model.c_str(), &m) != 0 || ::stat(to.c_str(), &now) != 0) {
    return SetError(error, errno), false;
  }
  const mode_t limited = now.st_mode & (m.st_mode | S_IWUSR) & 0777;
  if (limited == (now.st_mode & 07777)) return true;
  if (::chmod(to.c_str(), limited) != 0) return SetError(error, errno), false;
  return true;
}

bool GetTimes(const std::string& path, FileTimes& times) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  times.creation = ToFileTime(st.st_ctim);
  times.last_access = ToFileTime(st.st_atim);
  times.last_write = ToFileTime(st.st_mtim);
  return true;
}

bool BirthTime(const std::string& path, int64_t& filetime) {
  struct statx stx;
  if (path.empty() || ::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &stx) != 0 ||
      !(stx.stx_mask & STATX_BTIME)) {
    return false;
  }
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(stx.stx_btime.tv_sec);
  ts.tv_nsec = static_cast<long>(stx.stx_btime.tv_nsec);
  filetime = ToFileTime(ts);
  return true;
}

bool CopyTimes(const std::string& from, const std::string& to) {
  FileTimes times;
  if (!GetTimes(from, times) || !FileExists(to)) return false;
  // POSIX cannot set a creation time; access and write times are copied unchanged.
  struct timespec ts[2] = {FromFileTime(times.last_access), FromFileTime(times.last_write)};
  return ::utimensat(AT_FDCWD, to.c_str(), ts, 0) == 0;
}

int64_t ToLocalTime(int64_t utc_filetime) {
  struct timespec ts = FromFileTime(utc_filetime);
  struct tm local;
  if (!::localtime_r(&ts.tv_sec, &local)) return utc_filetime;
  return utc_filetime + static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond;
}

bool ToDosDateTime(int64_t filetime, uint32_t& dos) {
  struct timespec ts = FromFileTime(filetime);
  struct tm t;
  if (!::gmtime_r(&ts.tv_sec, &t)) return false;
  int year = t.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
  uint32_t time =
      static_cast<uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (std::min(t.tm_sec, 59) / 2));
  dos = (date << 16) | time;
  return true;
}

std::string ReadAll(const std::string& path, int64_t max_bytes) {
  const std::string where = " file \"" + path + "\". ";
  auto refuse = [&](const std::string& why) { throw FileError("Cannot read" + where + why); };
  // Looked at before the open, so that no FIFO or device is ever opened by name alone; the
  // open file is looked at again in case the name changed in between.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    refuse("It is not a regular file.");
  }
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) throw FileError("Cannot open" + where + ErrorText(errno));
  if (::fstat(fd.get(), &st) != 0) refuse(ErrorText(errno));
  if (!S_ISREG(st.st_mode)) refuse("It is not a regular file.");
  if (st.st_size > max_bytes) {
    refuse("The file is too large (" + std::to_string(st.st_size) + " bytes).");
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      refuse(ErrorText(errno));
    }
    if (n == 0) break;
    // A file that grows while it is read stops at the limit all the same.
    if (static_cast<int64_t>(data.size()) + n > max_bytes) {
      refuse("The file is too large (more than " + std::to_string(max_bytes) + " bytes).");
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

void WriteAll(const std::string& path, const std::string& bytes, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  Fd fd(::open(path.c_str(), flags, 0666));
  if (fd.get() < 0) throw FileError("Cannot create file \"" + path + "\". " + ErrorText(errno));
  if (!WriteFully(fd.get(), bytes.data(), bytes.size()) || !fd.Close()) {
    throw FileError("Cannot write file \"" + path + "\". " + ErrorText(errno));
  }
}

void WriteAtomically(const std::string& path, const std::string& bytes) {
  const std::string where = " file \"" + path + "\". ";
  struct stat old;
  const bool exists = ::lstat(path.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    throw FileError("Cannot replace" + where + "It is not a regular file.");
  }
  std::string temp = path + ".XXXXXX";
  std::vector<char> temp_name(temp.begin(), temp.end());
  temp_name.push_back(0);
  Fd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
  if (fd.get() < 0) throw FileError("Cannot create" + where + ErrorText(errno));
  temp.assign(temp_name.data());
  auto fail = [&](int err) {
    ::unlink(temp.c_str());
    throw FileError("Cannot write" + where + ErrorText(err));
  };
  // A new file stays as mkostemp made it, readable and writable by its owner alone.
  if (exists) {
    if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      // Only the owner or root may give a file away; the content is what matters here.
    }
    ::fchmod(fd.get(), old.st_mode & 07777);
  }
  if (!WriteFully(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) fail(errno);
  if (!fd.Close()) fail(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) fail(errno);
}

FileLock::FileLock(const std::string& path, int wait_ms) {
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  for (int waited = 0;; waited += 5) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= wait_ms) return;
    ::usleep(5000);
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::string ProgramPath(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  if (argv0 && ::realpath(argv0, buffer)) return buffer;
  return argv0 ? argv0 : "";
}

}  // namespace orvelle::fs
