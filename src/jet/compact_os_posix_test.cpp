// Lock files on POSIX: held by a lock of another process, by a lock on another open file
// description, or merely open in another process; and a stale one that blocks nothing. The
// compactor holds the database's lock file while it works and removes only one it created.
// Output that cannot be created or cannot be written to the end leaves nothing behind, and
// its name can neither be guessed nor planted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

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
  ORVELLE_REQUIRE_CORPUS(d.source);
  EXPECT_FALSE(LockFileHeld(d.lock, nullptr));
  EXPECT_EQ(d.Error(), "(compacted)");
  EXPECT_TRUE(PathExists(d.target));
}

TEST(JetCompactLock, RecordLockOfAnotherProcessBlocks) {
  LockedDatabase d;
  ORVELLE_REQUIRE_CORPUS(d.source);
  Holder holder(d.lock, true);
  ASSERT_TRUE(holder.ok());
  EXPECT_EQ(d.Error(), d.InUse("locked by process " + std::to_string(holder.pid())));
  EXPECT_FALSE(PathExists(d.target));
}

TEST(JetCompactLock, FileOpenInAnotherProcessBlocks) {
  LockedDatabase d;
  ORVELLE_REQUIRE_CORPUS(d.source);
  Holder holder(d.lock, false);
  ASSERT_TRUE(holder.ok());
  EXPECT_EQ(d.Error(), d.InUse("open in process " + std::to_string(holder.pid())));
  EXPECT_FALSE(PathExists(d.target));
}

TEST(JetCompactLock, LockOnAnotherOpenFileDescriptionBlocks) {
  LockedDatabase d;
  ORVELLE_REQUIRE_CORPUS(d.source);
  int fd = open(d.lock.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_EQ(d.Error(), d.InUse("locked"));
  EXPECT_FALSE(PathExists(d.target));
  close(fd);
  EXPECT_EQ(d.Error(), "(compacted)");
}

// Asks a child process (as another program would) whether the lock file is held.
bool HeldSeenFromAnotherProcess(const std::string& lock) {
  const pid_t pid = fork();
  if (pid == 0) _exit(LockFileHeld(lock, nullptr) ? 1 : 0);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// A database that runs anywhere: the Debian sample, else a fixture.
std::string AnyDatabase() {
  std::string path = test::DebianFixture("Monitor.mdb");
  return path.empty() ? test::Fixture("V2000-delTestV2000.mdb") : path;
}

TEST(JetCompactLock, CompactionHoldsTheLockFileAndRemovesOnlyTheOneItCreated) {
  const std::string fixture = AnyDatabase();
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.mdb"), lock = dir.Sub("db.ldb");
  WriteBytes(source, ReadBytes(fixture));
  struct Case {
    std::string before;  // the lock file's bytes before; "" for none
    bool stays;
  };
  const std::vector<Case> cases = {
      {"", false},                   // created, so removed
      {std::string(64, ' '), true},  // another program's stale file
      {LockFileEntry(), false},      // left by a killed run of this program
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    if (!c.before.empty()) WriteBytes(lock, c.before);
    bool exists = false, held = false;
    CompactOptions options;
    options.before_verify = [&](const std::string&) {
      exists = PathExists(lock);
      held = HeldSeenFromAnotherProcess(lock);
    };
    CompactDatabase(source, dir.Sub("out" + std::to_string(n++) + ".mdb"), options);
    EXPECT_TRUE(exists);
    EXPECT_TRUE(held);
    EXPECT_EQ(PathExists(lock), c.stays);
    if (c.stays) {
      EXPECT_EQ(ReadBytes(lock), c.before);
    }
    RemoveFile(lock);
  }
}

TEST(JetCompactLock, AHeldLockFileIsHeldForEveryoneButItsOwnCompaction) {
  const std::string fixture = AnyDatabase();
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("a.mdb.orvelle.bak"), lock = dir.Sub("a.ldb");
  WriteBytes(source, ReadBytes(fixture));
  EXPECT_EQ(LockFileFor(source), lock);
  EXPECT_EQ(LockFileFor(dir.Sub("a.accdb")), dir.Sub("a.laccdb"));
  EXPECT_EQ(LockFileFor(dir.Sub("a.mdb")), lock);
  EXPECT_EQ(LockFileFor(dir.Sub("notes.txt")), dir.Sub("notes.ldb"));
  {
    LockFileHold hold;
    std::string who;
    ASSERT_TRUE(hold.Acquire(lock, &who)) << who;
    EXPECT_TRUE(LockFileHeldHere(lock));
    EXPECT_EQ(ReadBytes(lock), LockFileEntry());
    EXPECT_TRUE(HeldSeenFromAnotherProcess(lock));
    LockFileHold second;
    EXPECT_FALSE(second.Acquire(lock, &who));
    EXPECT_EQ(who, "locked");
    // The compaction of the database whose lock file this process holds goes ahead.
    CompactDatabase(source, dir.Sub("out.mdb"));
    EXPECT_TRUE(PathExists(lock));
  }
  EXPECT_FALSE(LockFileHeldHere(lock));
  EXPECT_FALSE(PathExists(lock));
}

// Links planted at every name the compactor used to write first would make a run as root
// overwrite the file they point to; the output's name now cannot be guessed, and an exclusive
// create never follows a link.
TEST(JetCompactOutput, PlantedLinksAreNeverWrittenThrough) {
  const std::string fixture = AnyDatabase();
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.mdb"), target = dir.Sub("out.mdb");
  const std::string victim = dir.Sub("victim");
  WriteBytes(source, ReadBytes(fixture));
  WriteBytes(victim, "precious");
  for (const std::string& name : {target + ".orvelle-tmp", target + ".1.orvelle-tmp"}) {
    ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
  }
  std::vector<std::string> temps;
  CompactOptions options;
  options.before_verify = [&](const std::string& temp) { temps.push_back(temp); };
  CompactDatabase(source, target, options);
  CompactDatabase(source, dir.Sub("again.mdb"), options);
  EXPECT_EQ(ReadBytes(victim), "precious");
  ASSERT_EQ(temps.size(), 2u);
  const std::regex unguessable("\\.[a-z0-9]{12}\\.orvelle-tmp$");
  EXPECT_EQ(temps[0].rfind(target + ".", 0), 0u);
  EXPECT_TRUE(std::regex_search(temps[0], unguessable)) << temps[0];
  EXPECT_TRUE(std::regex_search(temps[1], unguessable)) << temps[1];
  EXPECT_NE(temps[0].substr(target.size()), temps[1].substr(dir.Sub("again.mdb").size()));

  // A dangling link is not followed into a new file either.
  const std::string planted = dir.Sub("planted"), elsewhere = dir.Sub("elsewhere");
  ASSERT_EQ(symlink(elsewhere.c_str(), planted.c_str()), 0);
  NewFile file;
  std::string error;
  EXPECT_FALSE(file.Create(planted, &error));
  EXPECT_EQ(error, "File exists");
  EXPECT_FALSE(PathExists(elsewhere));
}

TEST(JetCompactOutput, ReadOnlyTargetFolderGetsNoPartialFile) {
  std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
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
  ORVELLE_REQUIRE_CORPUS(fixture);
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
