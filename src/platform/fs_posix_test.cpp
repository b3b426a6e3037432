#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "deadline_posix.h"
#include "platform/fs.h"
#include "test_support.h"

namespace orvelle::fs {
namespace {

using test::ScopedTempDir;
using test::WriteBytes;

std::map<std::string, uint32_t> List(const std::string& dir, const std::string& pattern,
                                     uint32_t accepted) {
  std::map<std::string, uint32_t> found;
  EnumerateFolder(dir, pattern, accepted, [&](const DirEntry& e) {
    found[e.name] = e.attributes;
    return true;
  });
  return found;
}

TEST(FsPosixTest, EnumerationPatternsAndAttributes) {
  ScopedTempDir tmp;
  WriteBytes(tmp.Sub("a.mdb"), "x");
  WriteBytes(tmp.Sub("B.MDB"), "x");
  WriteBytes(tmp.Sub(".hidden.mdb"), "x");
  WriteBytes(tmp.Sub("noext"), "x");
  WriteBytes(tmp.Sub("ro.accdb"), "x");
  ::chmod(tmp.Sub("ro.accdb").c_str(), 0444);
  WriteBytes(tmp.Sub("sub/c.mdb"), "x");
  WriteBytes(tmp.Sub(".hid/d.mdb"), "x");
  ASSERT_EQ(::symlink(tmp.Sub("sub").c_str(), tmp.Sub("link").c_str()), 0);
  const std::string dir = tmp.Path() + "/";

  auto files = List(dir, "*.*db", 0x1EF);
  EXPECT_EQ(files.size(), 4u);  // a, B, .hidden, ro
  EXPECT_EQ(files["a.mdb"], kAttrArchive);
  EXPECT_EQ(files["B.MDB"], kAttrArchive);
  EXPECT_EQ(files[".hidden.mdb"], kAttrArchive | kAttrHidden);
  EXPECT_EQ(files["ro.accdb"], kAttrArchive);  // read-only cannot decide with 0x1EF
  EXPECT_EQ(List(dir, "ro.*", 0x1EE)["ro.accdb"], kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(List(dir, "a.*", 0x1EE)["a.mdb"], kAttrArchive);

  files = List(dir, "*.*db", 0x1ED);
  EXPECT_EQ(files.count(".hidden.mdb"), 0u);
  EXPECT_EQ(files.size(), 3u);

  // "*.*" matches names without a point; folders (a link to one included) are reported only
  // when asked for, hidden ones never with 0x10.
  auto all = List(dir, "*.*", kAttrDirectory);
  EXPECT_EQ(all.count("noext"), 1u);
  EXPECT_EQ(all["sub"], kAttrDirectory);
  EXPECT_EQ(all["link"], kAttrDirectory);
  EXPECT_EQ(all.count(".hid"), 0u);
  EXPECT_EQ(all.count(".hidden.mdb"), 0u);

  EXPECT_EQ(List(dir, "?.mdb", 0x1EF).size(), 2u);  // "?" is exactly one character here
  EXPECT_TRUE(List(dir, "", 0x1EF).empty());
  EXPECT_TRUE(List(tmp.Sub("missing/"), "*", 0x1FF).empty());
  EXPECT_EQ(FolderIdentity(tmp.Sub("link")), FolderIdentity(tmp.Sub("sub/")));
  EXPECT_NE(FolderIdentity(tmp.Sub("sub")), FolderIdentity(dir));
  EXPECT_EQ(FolderIdentity(tmp.Sub("missing")), "");
}

TEST(FsPosixTest, CopyIsWholeOrNothing) {
  ScopedTempDir tmp;
  WriteBytes(tmp.Sub("src"), "fresh");
  WriteBytes(tmp.Sub("old"), "stale");
  std::string error;
  EXPECT_FALSE(CopyFileTo(tmp.Sub("src"), tmp.Sub("old"), false, &error));
  EXPECT_EQ(error, "File exists");
  EXPECT_TRUE(CopyFileTo(tmp.Sub("src"), tmp.Sub("old"), true, &error));
  EXPECT_EQ(test::ReadBytes(tmp.Sub("old")), "fresh");
  EXPECT_TRUE(CopyFileTo(tmp.Sub("src"), tmp.Sub("src"), true));  // onto itself: unharmed
  EXPECT_EQ(test::ReadBytes(tmp.Sub("src")), "fresh");

  EXPECT_FALSE(CopyFileTo(tmp.Sub("missing"), tmp.Sub("old"), true, &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(test::ReadBytes(tmp.Sub("old")), "fresh");
  ASSERT_EQ(::mkfifo(tmp.Sub("fifo").c_str(), 0600), 0);
  EXPECT_EQ(List(tmp.Path() + "/", "fifo", 0x1EF)["fifo"], kAttrDevice);
  EXPECT_FALSE(CopyFileTo(tmp.Sub("fifo"), tmp.Sub("x"), true, &error));  // never blocks
  EXPECT_FALSE(test::Exists(tmp.Sub("x")));

  if (::geteuid() != 0) {
    ::chmod(tmp.Path().c_str(), 0555);  // no room for the copy: nothing half-written stays
    EXPECT_FALSE(CopyFileTo(tmp.Sub("src"), tmp.Sub("old"), true, &error));
    EXPECT_EQ(error, "Permission denied");
    ::chmod(tmp.Path().c_str(), 0755);
    EXPECT_EQ(test::ReadBytes(tmp.Sub("old")), "fresh");
  }
}

TEST(FsPosixTest, MoveRefusesToReplace) {
  ScopedTempDir tmp;
  WriteBytes(tmp.Sub("a"), "a");
  WriteBytes(tmp.Sub("b"), "b");
  std::string error;
  EXPECT_FALSE(MoveFileTo(tmp.Sub("a"), tmp.Sub("b"), &error));
  EXPECT_EQ(error, "File exists");
  EXPECT_EQ(test::ReadBytes(tmp.Sub("b")), "b");
  EXPECT_TRUE(MoveFileTo(tmp.Sub("a"), tmp.Sub("c")));
  EXPECT_FALSE(FileExists(tmp.Sub("a")));
  EXPECT_EQ(test::ReadBytes(tmp.Sub("c")), "a");
  EXPECT_FALSE(DeleteFileAt(tmp.Path()));  // never a folder
  EXPECT_TRUE(ForceDirectories(tmp.Sub("x/y/z/")));
  EXPECT_TRUE(DirectoryExists(tmp.Sub("x/y/z/")));
  EXPECT_FALSE(ForceDirectories(tmp.Sub("c/sub")));  // a file is in the way
  EXPECT_FALSE(ForceDirectories(""));
}

TEST(FsPosixTest, TimesAndDosDateTime) {
  ScopedTempDir tmp;
  WriteBytes(tmp.Sub("a"), "a");
  WriteBytes(tmp.Sub("b"), "b");
  FileTimes t;
  ASSERT_TRUE(GetTimes(tmp.Sub("a"), t));
  // 2001-02-03 04:05:06 UTC as a FILETIME.
  const int64_t when = (981173106LL + 11644473600LL) * 10000000LL;
  struct timespec ts[2] = {{981173106, 0}, {981173106, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tmp.Sub("a").c_str(), ts, 0), 0);
  EXPECT_TRUE(CopyTimes(tmp.Sub("a"), tmp.Sub("b")));
  ASSERT_TRUE(GetTimes(tmp.Sub("b"), t));
  EXPECT_EQ(t.last_write, when);
  EXPECT_EQ(t.last_access, when);
  EXPECT_FALSE(CopyTimes(tmp.Sub("missing"), tmp.Sub("b")));

  uint32_t dos = 0;
  ASSERT_TRUE(ToDosDateTime(when, dos));
  EXPECT_EQ(dos, (((2001u - 1980u) << 9 | 2u << 5 | 3u) << 16) | (4u << 11 | 5u << 5 | 3u));
  EXPECT_FALSE(ToDosDateTime((315532799LL + 11644473600LL) * 10000000LL, dos));  // 1979
}

// Only regular files are read, without blocking on a FIFO and never past the limit, counted
// in the bytes read: /dev/zero reports no size and never ends, a /proc file reports 0.
// Each read runs in a child with a deadline, so a read that blocks fails instead of hanging.
TEST(FsPosixTest, ReadAllTakesRegularFilesWithinTheLimitOnly) {
  ScopedTempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.Sub("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", tmp.Sub("zero").c_str()), 0);
  WriteBytes(tmp.Sub("ten"), "0123456789");
  ASSERT_EQ(::symlink(tmp.Sub("ten").c_str(), tmp.Sub("link-to-ten").c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = tmp.Sub("sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  const std::string not_regular = "It is not a regular file.";
  const struct {
    std::string path;
    int64_t limit;
    std::string result;  // the bytes, or the end of the error message
  } cases[] = {
      {tmp.Sub("ten"), 10, "0123456789"},
      {tmp.Sub("link-to-ten"), 64, "0123456789"},
      {tmp.Sub("ten"), 9, "The file is too large (10 bytes)."},
      {tmp.Sub("fifo"), 64, not_regular},
      {tmp.Sub("zero"), 64, not_regular},
      {sock_path, 64, not_regular},
      {tmp.Path(), 64, not_regular},
      {"/proc/self/status", 16, "The file is too large (more than 16 bytes)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string out = tmp.Sub("result");
    const int code = test::RunInChild([&] {
      std::string got;
      try {
        got = ReadAll(c.path, c.limit);
      } catch (const FileError& e) {
        got = e.what();
      }
      WriteBytes(out, got);
      return 0;
    });
    ASSERT_EQ(code, 0) << "the read blocked";
    const std::string got = test::ReadBytes(out);
    EXPECT_EQ(got.substr(got.size() - std::min(got.size(), c.result.size())), c.result);
  }
  ::close(sock);
  EXPECT_EQ(test::ReadBytes(tmp.Sub("ten")), "0123456789");
}

}  // namespace
}  // namespace orvelle::fs
