// Lock files on Windows: one another program keeps open (as Access does, with sharing) blocks
// the compaction; a stale one does not. The compactor's own hold shuts every other opener out
// and goes with its handle. Output files are created only where nothing exists.
#include <gtest/gtest.h>

#include "jet/compact.h"
#include "jet/compact_os.h"
#include "jet/testtools/jet_fixtures.h"
#include "platform/win32_util.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;
using orvelle::test::WriteBytes;

TEST(JetCompactLock, LockFileOpenElsewhereBlocksAndAStaleOneDoesNot) {
  std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.mdb"), lock = dir.Sub("db.ldb");
  WriteBytes(source, ReadBytes(fixture));
  WriteBytes(lock, std::string(64, ' '));
  HANDLE h = CreateFileW(win32::LongPath(lock).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string who;
  EXPECT_TRUE(LockFileHeld(lock, &who));
  try {
    CompactDatabase(source, dir.Sub("out.mdb"));
    ADD_FAILURE() << "compacted";
  } catch (const CompactError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot compact \"" + source +
                                         "\": the database is in use (lock file \"" + lock +
                                         "\" is open in another program)");
  }
  EXPECT_FALSE(PathExists(dir.Sub("out.mdb")));
  CloseHandle(h);
  EXPECT_FALSE(LockFileHeld(lock, nullptr));
  CompactDatabase(source, dir.Sub("out.mdb"));
  EXPECT_TRUE(PathExists(dir.Sub("out.mdb")));
}

// Opens the lock file as Access does (shared for reading and writing); the error, or 0.
DWORD OpenAsAccessDoes(const std::string& lock) {
  HANDLE h = CreateFileW(win32::LongPath(lock).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

TEST(JetCompactLock, HeldLockFileShutsOthersOutAndOnlyItsOwnGoes) {
  ScopedTempDir dir;
  const std::string lock = dir.Sub("db.ldb");
  struct Case {
    std::string before;  // the lock file's bytes before; "" for none
    bool stays;
  };
  const Case cases[] = {{"", false}, {std::string(64, ' '), true}, {LockFileEntry(), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before.size());
    if (!c.before.empty()) WriteBytes(lock, c.before);
    {
      LockFileHold hold;
      std::string who;
      ASSERT_TRUE(hold.Acquire(lock, &who)) << who;
      EXPECT_TRUE(LockFileHeldHere(lock));
      EXPECT_EQ(OpenAsAccessDoes(lock), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      EXPECT_TRUE(LockFileHeld(lock, &who));
      EXPECT_EQ(who, "open in another program");
      LockFileHold second;
      EXPECT_FALSE(second.Acquire(lock, &who));
    }
    EXPECT_FALSE(LockFileHeldHere(lock));
    EXPECT_EQ(PathExists(lock), c.stays);
    EXPECT_EQ(OpenAsAccessDoes(lock), c.stays ? 0u : static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    RemoveFile(lock);
  }

  NewFile file;
  std::string error;
  WriteBytes(dir.Sub("taken"), "keep");
  EXPECT_FALSE(file.Create(dir.Sub("taken"), &error));
  EXPECT_EQ(ReadBytes(dir.Sub("taken")), "keep");
  ASSERT_TRUE(file.Create(dir.Sub("fresh"), &error)) << error;
  ASSERT_TRUE(file.Write("abc", 3, &error)) << error;
  ASSERT_TRUE(file.Close(&error)) << error;
  EXPECT_EQ(ReadBytes(dir.Sub("fresh")), "abc");
}

TEST(JetCompactLock, CompactionHoldsTheLockFile) {
  std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir dir;
  const std::string source = dir.Sub("db.mdb"), lock = dir.Sub("db.ldb");
  WriteBytes(source, ReadBytes(fixture));
  DWORD seen = 0;
  CompactOptions options;
  options.before_verify = [&](const std::string&) { seen = OpenAsAccessDoes(lock); };
  CompactDatabase(source, dir.Sub("out.mdb"), options);
  EXPECT_EQ(seen, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(PathExists(lock));
}

}  // namespace
}  // namespace orvelle::jet
