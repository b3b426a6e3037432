#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/win32_util.h"
#include "test_support.h"

namespace orvelle::fs {
namespace {

void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesW(win32::LongPath(path).c_str(), attributes)) << path;
}

std::set<std::string> Names(const std::string& dir, const std::string& pattern, uint32_t accepted) {
  std::set<std::string> names;
  EnumerateFolder(dir, pattern, accepted, [&](const DirEntry& e) {
    names.insert(e.name);
    return true;
  });
  return names;
}

// A folder with one file or folder of each kind the search has to tell apart.
class FsWin32Enumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.Path() + "\\";
    for (const char* name : {"plain.mdb", "hidden.mdb", "system.mdb", "readonly.mdb", "both.mdb",
                             "lock.ldb", "other.txt"}) {
      WriteAll(dir_ + name, "x");
    }
    ASSERT_TRUE(ForceDirectories(dir_ + "sub.mdb"));
    ASSERT_TRUE(ForceDirectories(dir_ + "hiddensub"));
    ASSERT_TRUE(ForceDirectories(dir_ + "systemsub"));
    ASSERT_TRUE(ForceDirectories(dir_ + "readonlysub"));
    SetAttributes(dir_ + "hidden.mdb", FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(dir_ + "system.mdb", FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(dir_ + "readonly.mdb", FILE_ATTRIBUTE_READONLY);
    SetAttributes(dir_ + "both.mdb", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(dir_ + "hiddensub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(dir_ + "systemsub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(dir_ + "readonlysub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  }
  void TearDown() override {
    for (const char* name :
         {"hidden.mdb", "system.mdb", "readonly.mdb", "both.mdb", "readonlysub"}) {
      SetFileAttributesW(win32::LongPath(dir_ + name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
  }
  test::ScopedTempDir tmp_;
  std::string dir_;
};

TEST_F(FsWin32Enumeration, AttributeSetsOfTheBatchSearch) {
  struct Case {
    const char* what;
    std::string pattern;
    uint32_t accepted;
    std::set<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"skip hidden", "*.*db", 0x1ED, {"plain.mdb", "system.mdb", "readonly.mdb", "lock.ldb"}},
      {"keep hidden",
       "*.*db",
       0x1EF,
       {"plain.mdb", "hidden.mdb", "system.mdb", "readonly.mdb", "both.mdb", "lock.ldb"}},
      {"folders only",
       "*.*",
       0x10,
       {"plain.mdb", "readonly.mdb", "lock.ldb", "other.txt", "sub.mdb", "readonlysub"}},
      {"one character wildcard", "?ther.txt", 0x1EF, {"other.txt"}},
      {"no match", "*.accdb", 0x1EF, {}},
      {"empty pattern", "", 0x1EF, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names(dir_, c.pattern, c.accepted), c.expected) << c.what;
  }
}

TEST_F(FsWin32Enumeration, ReportsAttributesAndStopsWhenAsked) {
  uint32_t readonly = 0;
  uint32_t folder = 0;
  EnumerateFolder(dir_, "*", 0x1FF, [&](const DirEntry& e) {
    if (e.name == "readonly.mdb") readonly = e.attributes;
    if (e.name == "sub.mdb") folder = e.attributes;
    return true;
  });
  EXPECT_EQ(readonly & (kAttrReadOnly | kAttrDirectory), kAttrReadOnly);
  EXPECT_EQ(folder & kAttrDirectory, kAttrDirectory);

  int visits = 0;
  EnumerateFolder(dir_, "*", 0x1FF, [&](const DirEntry&) { return ++visits < 2; });
  EXPECT_EQ(visits, 2);
  EXPECT_TRUE(Names(dir_ + "missing\\", "*", 0x1FF).empty());
}

TEST(FsWin32, FolderIdentityNamesTheFolderNotThePath) {
  test::ScopedTempDir tmp;
  const std::string a = tmp.Path() + "\\a";
  const std::string b = tmp.Path() + "\\b";
  ASSERT_TRUE(ForceDirectories(a + "\\inner"));
  ASSERT_TRUE(ForceDirectories(b));
  const std::string id = FolderIdentity(a);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(FolderIdentity(a + "\\"), id);
  EXPECT_EQ(FolderIdentity(a + "\\inner\\.."), id);
  EXPECT_NE(FolderIdentity(b), id);
  EXPECT_EQ(FolderIdentity(tmp.Path() + "\\missing"), "");

  // A link back to an ancestor must look like the ancestor, or a search would never end.
  const std::string loop = a + "\\inner\\loop";
  if (!CreateSymbolicLinkW(win32::Widen(loop).c_str(), win32::Widen(a).c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */) ||
      !DirectoryExists(loop)) {
    GTEST_SKIP() << "folder links cannot be created here";
  }
  EXPECT_EQ(FolderIdentity(loop), id);
  RemoveDirectoryW(win32::Widen(loop).c_str());
}

TEST(FsWin32, ExistenceAndFolderCreation) {
  test::ScopedTempDir tmp;
  const std::string root = tmp.Path() + "\\";
  const std::string deep = root + "one\\two\\three\\";
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(DirectoryExists(root + "one\\two"));
  EXPECT_TRUE(ForceDirectories(deep)) << "an existing folder is fine";
  EXPECT_FALSE(ForceDirectories(""));
  EXPECT_FALSE(FileExists(root + "one"));

  WriteAll(root + "one\\file.mdb", "12345");
  EXPECT_TRUE(FileExists(root + "one\\file.mdb"));
  EXPECT_FALSE(DirectoryExists(root + "one\\file.mdb"));
  EXPECT_EQ(FileSize(root + "one\\file.mdb"), 5);
  EXPECT_EQ(FileSize(root + "one"), -1);
  EXPECT_EQ(FileSize(root + "missing"), -1);
  // A file in the way of a folder: creation fails without an exception.
  EXPECT_FALSE(ForceDirectories(root + "one\\file.mdb\\below"));
}

TEST(FsWin32, CopyMoveDeleteAndReadOnly) {
  test::ScopedTempDir tmp;
  const std::string a = tmp.Path() + "\\a.mdb";
  const std::string b = tmp.Path() + "\\b.mdb";
  const std::string c = tmp.Path() + "\\c.mdb";
  WriteAll(a, "first");
  WriteAll(b, "second");

  std::string error;
  EXPECT_FALSE(CopyFileTo(a, b, false, &error));
  EXPECT_EQ(error, win32::SystemMessage(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadAll(b), "second");
  EXPECT_TRUE(CopyFileTo(a, b, true, &error));
  EXPECT_EQ(ReadAll(b), "first");

  EXPECT_FALSE(MoveFileTo(a, b, &error)) << "a move never replaces";
  EXPECT_EQ(error, win32::SystemMessage(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(MoveFileTo(a, c));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadAll(c), "first");

  SetAttributes(c, FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteFileAt(c)) << "the system refuses to delete a read-only file";
  EXPECT_TRUE(ClearReadOnly(c));
  EXPECT_EQ(GetFileAttributesW(win32::Widen(c).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(DeleteFileAt(c));
  EXPECT_FALSE(DeleteFileAt(c));
  EXPECT_FALSE(ClearReadOnly(c));
}

TEST(FsWin32, WholeFileAccess) {
  test::ScopedTempDir tmp;
  const std::string path = tmp.Path() + "\\text.bin";
  WriteAll(path, std::string("long old content\0x", 18));
  WriteAll(path, "new");
  EXPECT_EQ(ReadAll(path), "new");
  WriteAll(path, "+more", true);
  EXPECT_EQ(ReadAll(path), "new+more");
  WriteAll(path, "");
  EXPECT_EQ(ReadAll(path), "");

  const std::string missing = tmp.Path() + "\\missing.bin";
  try {
    ReadAll(missing);
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + missing + "\". " +
                                         win32::SystemMessage(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_THROW(WriteAll(tmp.Path() + "\\no\\such\\folder\\x", "x"), FileError);
}

TEST(FsWin32, PathsLongerThanTheClassicLimit) {
  test::ScopedTempDir tmp;
  std::string dir = tmp.Path();
  while (dir.size() < 300) dir += "\\a-rather-long-folder-name-" + std::to_string(dir.size());
  dir += "\\";
  ASSERT_TRUE(ForceDirectories(dir));
  ASSERT_TRUE(DirectoryExists(dir));
  const std::string file = dir + "deep.mdb";
  WriteAll(file, "deep");
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(ReadAll(file), "deep");
  EXPECT_EQ(Names(dir, "*.mdb", 0x1ED), std::set<std::string>{"deep.mdb"});
  EXPECT_TRUE(CopyFileTo(file, dir + "copy.mdb", false));
  EXPECT_TRUE(MoveFileTo(dir + "copy.mdb", dir + "moved.mdb"));
  FileTimes times;
  EXPECT_TRUE(GetTimes(file, times));
  EXPECT_TRUE(CopyTimes(file, dir + "moved.mdb"));
  EXPECT_FALSE(FolderIdentity(dir).empty());
  EXPECT_TRUE(DeleteFileAt(dir + "moved.mdb"));
  EXPECT_TRUE(DeleteFileAt(file));
  // The temporary folder's own clean-up cannot reach this deep; take the chain down here.
  while (dir.size() > tmp.Path().size() + 1) {
    RemoveDirectoryW(win32::LongPath(dir).c_str());
    dir = dir.substr(0, dir.find_last_of('\\', dir.size() - 2) + 1);
  }
}

TEST(FsWin32, FileTimes) {
  test::ScopedTempDir tmp;
  const std::string from = tmp.Path() + "\\from.mdb";
  const std::string to = tmp.Path() + "\\to.mdb";
  WriteAll(from, "a");
  WriteAll(to, "b");
  // Three distinct times between 2001 and 2003.
  const FILETIME creation = {0x2E5C8F00u, 0x01C08D9Bu};
  const FILETIME access = {0x6A5A2B00u, 0x01C1B8A1u};
  const FILETIME write = {0x1F6CB300u, 0x01C2E3A7u};
  {
    HANDLE h = CreateFileW(win32::Widen(from).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, &creation, &access, &write));
    CloseHandle(h);
  }
  SetAttributes(to, FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(CopyTimes(from, to)) << "a read-only target still takes the times";
  ClearReadOnly(to);
  FileTimes got;
  ASSERT_TRUE(GetTimes(to, got));
  FileTimes set;
  ASSERT_TRUE(GetTimes(from, set));
  // Some file systems (Wine's host folders) keep no creation time of their own.
  if (set.creation == 0x01C08D9B2E5C8F00LL) {
    EXPECT_EQ(got.creation, set.creation);
  }
  EXPECT_EQ(got.last_access, 0x01C1B8A16A5A2B00LL);
  EXPECT_EQ(got.last_write, 0x01C2E3A71F6CB300LL);
  EXPECT_FALSE(CopyTimes(tmp.Path() + "\\missing", to));
  EXPECT_FALSE(GetTimes(tmp.Path() + "\\missing", got));
  EXPECT_FALSE(GetTimes(tmp.Path() + "\\*.mdb", got)) << "a wildcard names no file";
  EXPECT_TRUE(GetTimes(tmp.Path(), got)) << "a folder has times too";
  EXPECT_TRUE(GetTimes(tmp.Path() + "\\", got));
}

TEST(FsWin32, DosDateTimes) {
  constexpr int64_t kDay = 864000000000LL;
  constexpr int64_t k1980 = 119600064000000000LL;  // 1980-01-01 00:00:00
  struct Case {
    int64_t filetime;
    bool ok;
    uint32_t dos;
  };
  const Case cases[] = {
      {k1980, true, 0x00210000u},
      {k1980 + 2 * 10000000LL, true, 0x00210001u},
      {k1980 + 31 * kDay + 3600 * 10000000LL, true, 0x00410800u},  // 1980-02-01 01:00
      {k1980 - 1, false, 0},
      {159992928000000000LL - 2 * 10000000LL, true, 0xFF9FBF7Du},  // 2107-12-31 23:59:58
      {159992928000000000LL, false, 0},                            // 2108-01-01
      {-5, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t dos = 0xFFFFFFFFu;
    EXPECT_EQ(ToDosDateTime(c.filetime, dos), c.ok) << c.filetime;
    if (c.ok) {
      EXPECT_EQ(dos, c.dos) << c.filetime;
    }
  }
  // Local time differs from UTC by whole quarter hours, never by more than a day.
  const int64_t shift = ToLocalTime(k1980 + 400 * kDay) - (k1980 + 400 * kDay);
  EXPECT_EQ(shift % (15 * 60 * 10000000LL), 0);
  EXPECT_LT(shift < 0 ? -shift : shift, kDay);
}

TEST(FsWin32, ProgramPathIsTheRunningModule) {
  const std::string path = ProgramPath("ignored");
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), ".exe");
  EXPECT_TRUE(FileExists(path));
}

// The access list of a file in its text form, "" when it cannot be read.
std::string AccessList(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(win32::LongPath(path).c_str(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) != ERROR_SUCCESS) {
    return "";
  }
  LPWSTR text = nullptr;
  std::string out;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    out = win32::Narrow(text);
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

// A compacted database takes the access list of the file it replaces: who may open it stays
// as it was, a protected list included. Publishing then replaces in one rename.
TEST(FsWin32Permissions, CopyPermissionsCarriesTheAccessListAndPublishReplaces) {
  test::ScopedTempDir tmp;
  const std::string model = tmp.Sub("model.mdb"), copy = tmp.Sub("copy.mdb");
  WriteAll(model, "old");
  WriteAll(copy, "new");
  // Only its owner and the system may open the model (Wine keeps that as the file's mode).
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR owned = nullptr;
  ASSERT_EQ(
      GetNamedSecurityInfoW(win32::LongPath(model).c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &owned),
      static_cast<DWORD>(ERROR_SUCCESS));
  LPWSTR owner_text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(owner, &owner_text));
  const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(owner_text) + L")(A;;FA;;;SY)";
  LocalFree(owner_text);
  LocalFree(owned);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &sd, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  std::wstring wmodel = win32::LongPath(model);
  const DWORD set = SetNamedSecurityInfoW(
      &wmodel[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  LocalFree(sd);
  const std::string want = AccessList(model);
  // Wine keeps no access lists of files: there only the calls themselves are checked.
  const bool kept = set == ERROR_SUCCESS && want != AccessList(copy);
  std::string error;
  ASSERT_TRUE(CopyPermissions(model, copy, &error)) << error;
  if (kept) {
    EXPECT_EQ(AccessList(copy), want);
  }

  ASSERT_TRUE(Publish(copy, model, true, &error)) << error;
  EXPECT_EQ(ReadAll(model), "new");
  if (kept) {
    EXPECT_EQ(AccessList(model), want);
  }
  EXPECT_FALSE(FileExists(copy));
  WriteAll(copy, "newer");
  EXPECT_FALSE(Publish(copy, model, false, &error));
  EXPECT_EQ(ReadAll(model), "new");

  // A private folder: hidden, fresh each time.
  const std::string a = CreatePrivateFolder(tmp.Path() + "\\", ".orvelle-", &error);
  const std::string b = CreatePrivateFolder(tmp.Path() + "\\", ".orvelle-", &error);
  ASSERT_FALSE(a.empty()) << error;
  EXPECT_NE(a, b);
  EXPECT_NE(GetFileAttributesW(win32::LongPath(a).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_TRUE(RemoveFolder(a));
  EXPECT_TRUE(RemoveFolder(b));
  EXPECT_FALSE(DirectoryExists(a));
}

}  // namespace
}  // namespace orvelle::fs
