// Lock files on POSIX: held by a lock of another process, by a lock on another open file
// description, or merely open in another process; and a stale one that blocks nothing. Output
// that cannot be created or cannot be written to the end leaves nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "jet/compact.h"
#include "jet/compact_os.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;
using orvelle::test::WriteBytes;

// A child process that opens `path` (and locks it when asked) and keeps it until released.
class Holder {
 public:
  Holder(const std::string& path, bool lock) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and _exit.
      close(ready[0]);
      close(release[1]);
      int fd = open(path.c_str(), O_RDWR);
      struct flock fl = {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      bool ok = fd >= 0 && (!lock || fcntl(fd, F_SETLK, &fl) == 0);
      char c = ok ? '1' : '0';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      (void)!read(release[0], &c, 1);  // returns when the parent closes its end
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char c = '0';
    ok_ = read(ready[0], &c, 1) == 1 && c == '1';
    close(ready[0]);
  }
  ~Holder() {
    close(release_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool ok_ = false;
};

struct LockedDatabase {
  ScopedTempDir dir;
  std::string source, lock, target;
  LockedDatabase() {
    std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
    if (fixture.empty()) return;
    source = dir.Sub("db.mdb");
    lock = dir.Sub("db.ldb");
    target = dir.Sub("out.mdb");
    WriteBytes(source, ReadBytes(fixture));
    WriteBytes(lock, std::string(64, ' '));
  }
  std::string Error() {
    try {
      CompactDatabase(source, target);
    } catch (const CompactError& e) {
      return e.what();
    }
    return "(compacted)";
  }
  std::string InUse(const std::string& who) {
    return "Cannot compact \"" + source + "\": the database is in use (lock file \"" + lock +
           "\" is " + who + ")";
  }
};

TEST(JetCompactLock, StaleLockFileDoesNotBlock) {
  LockedDatabase d;
  JET_REQUIRE_FIXTURE(d.source);
  EXPECT_FALSE(LockFileHeld(d.lock, nullptr));
  EXPECT_EQ(d.Error(), "(compacted)");
  EXPECT_TRUE(PathExists(d.target));
}

TEST(JetCompactLock, RecordLockOfAnotherProcessBlocks) {
  LockedDatabase d;
  JET_REQUIRE_FIXTURE(d.source);
  Holder holder(d.lock, true);
  ASSERT_TRUE(holder.ok());
  EXPECT_EQ(d.Error(), d.InUse("locked by process " + std::to_string(holder.pid())));
  EXPECT_FALSE(PathExists(d.target));
}

TEST(JetCompactLock, FileOpenInAnotherProcessBlocks) {
  LockedDatabase d;
  JET_REQUIRE_FIXTURE(d.source);
  Holder holder(d.lock, false);
  ASSERT_TRUE(holder.ok());
  EXPECT_EQ(d.Error(), d.InUse("open in process " + std::to_string(holder.pid())));
  EXPECT_FALSE(PathExists(d.target));
}

TEST(JetCompactLock, LockOnAnotherOpenFileDescriptionBlocks) {
  LockedDatabase d;
  JET_REQUIRE_FIXTURE(d.source);
  int fd = open(d.lock.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_EQ(d.Error(), d.InUse("locked"));
  EXPECT_FALSE(PathExists(d.target));
  close(fd);
  EXPECT_EQ(d.Error(), "(compacted)");
}

TEST(JetCompactOutput, ReadOnlyTargetFolderGetsNoPartialFile) {
  std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
  JET_REQUIRE_FIXTURE(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.mdb"), folder = dir.Sub("out");
  WriteBytes(source, ReadBytes(fixture));
  ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
  if (access(folder.c_str(), W_OK) == 0) {
    chmod(folder.c_str(), 0755);
    GTEST_SKIP() << "this user can write into read-only folders";
  }
  try {
    CompactDatabase(source, folder + "/db.mdb");
    ADD_FAILURE() << "compacted";
  } catch (const CompactError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot compact \"" + source +
                                         "\": cannot create a temporary file beside \"" + folder +
                                         "/db.mdb\": Permission denied");
  }
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(rmdir(folder.c_str()), 0);  // empty: nothing was left behind
}

// The process's file-size limit makes the write fail part-way through the output, as a full
// disk does (EFBIG instead of ENOSPC); the limit is set in a child so nothing else feels it.
TEST(JetCompactOutput, WriteFailingMidwayLeavesNoPartialFile) {
  std::string fixture = test::Fixture("V2010-calcFieldTestV2010.accdb");
  JET_REQUIRE_FIXTURE(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.accdb"), folder = dir.Sub("out");
  const std::string bytes = ReadBytes(fixture);
  WriteBytes(source, bytes);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const rlim_t limit = 200000;  // the compacted file has 450560 bytes
  int pipe_fd[2];
  ASSERT_EQ(pipe(pipe_fd), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fd[0]);
    signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit then fails instead of killing
    struct rlimit rl;
    getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = limit;
    std::string message = "(compacted)";
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) {
      message = "(no limit)";
    } else {
      try {
        CompactDatabase(source, folder + "/db.accdb");
      } catch (const CompactError& e) {
        message = e.what();
      }
    }
    (void)!write(pipe_fd[1], message.data(), message.size());
    _exit(0);
  }
  close(pipe_fd[1]);
  std::string message;
  char buf[512];
  for (ssize_t n; (n = read(pipe_fd[0], buf, sizeof buf)) > 0;) message.append(buf, n);
  close(pipe_fd[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (message == "(no limit)") GTEST_SKIP() << "the file-size limit cannot be lowered here";
  EXPECT_EQ(message, "Cannot compact \"" + source +
                         "\": cannot write the compacted copy beside \"" + folder +
                         "/db.accdb\": File too large");
  EXPECT_EQ(rmdir(folder.c_str()), 0);  // empty: the partial output was removed
  EXPECT_EQ(ReadBytes(source), bytes);
}

}  // namespace
}  // namespace orvelle::jet
