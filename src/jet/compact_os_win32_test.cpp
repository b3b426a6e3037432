// Lock files on Windows: one another program keeps open (as Access does, with sharing) blocks
// the compaction; a stale one does not.
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
  JET_REQUIRE_FIXTURE(fixture);
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

}  // namespace
}  // namespace orvelle::jet
