#include "platform/file_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/testtools/scripted_dialogs.h"
#include "test_support.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::ScopedTempDir;
using test::WriteBytes;

TEST(FileUtilsText, ReadKeepsWholeCharactersOnly) {
  ScopedTempDir dir;
  struct Case {
    std::string bytes;
    int bytes_per_char;
    std::string expected;
  } cases[] = {
      {std::string("a\0b\0c\0d", 7), 2, std::string("a\0b\0c\0", 6)},  // 3 characters
      {"abcdefg", 1, "abcdefg"},
      {"", 2, ""},
      {"x", 2, ""},
  };
  for (const auto& c : cases) {
    const std::string path = dir.Sub("t.txt");
    WriteBytes(path, c.bytes);
    EXPECT_EQ(TkxFileUtils::ReadFileText(path, c.bytes_per_char), c.expected)
        << "bytes " << c.bytes.size() << " per char " << c.bytes_per_char;
  }
}

TEST(FileUtilsText, ReadMissingFileRaisesFileError) {
  ScopedTempDir dir;
  EXPECT_THROW(TkxFileUtils::ReadFileText(dir.Sub("none.txt"), 2), fs::FileError);
}

TEST(FileUtilsText, WriteReplacesOrAppends) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("w.txt");
  WriteBytes(path, "a much longer old content");
  TkxFileUtils::WriteFileText(path, std::string("n\0e\0w\0", 6), 2, false);
  EXPECT_EQ(ReadBytes(path), std::string("n\0e\0w\0", 6));
  TkxFileUtils::WriteFileText(path, std::string("+\0", 2), 2, true);
  EXPECT_EQ(ReadBytes(path), std::string("n\0e\0w\0+\0", 8));
  TkxFileUtils::WriteFileText(path, "", 2, false);
  EXPECT_EQ(ReadBytes(path), "");
}

TEST(FileUtilsText, WriteCreatesMissingFolders) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("one") + kPathDelim + "two" + kPathDelim + "w.txt";
  TkxFileUtils::WriteFileText(path, "abc", 1, false);
  EXPECT_EQ(ReadBytes(path), "abc");
}

TEST(FileUtilsText, WriteIntoUnwritablePlaceRaisesFileError) {
  ScopedTempDir dir;
  WriteBytes(dir.Sub("file"), "x");
  // A folder part that is a file can be neither created nor written into.
  EXPECT_THROW(TkxFileUtils::WriteFileText(dir.Sub("file") + kPathDelim + "w.txt", "abc", 1, false),
               fs::FileError);
}

TEST(FileUtilsDosTime, FolderHasATimeAndMissingPathHasNone) {
  ScopedTempDir dir;
  WriteBytes(dir.Sub("folder") + kPathDelim + "inner", "x");
  EXPECT_NE(TkxFileUtils::GetFileDosTime(dir.Sub("folder"), true, true), -1);
  EXPECT_NE(TkxFileUtils::GetFileDosTime(dir.Sub("folder"), false, false), -1);
  EXPECT_EQ(TkxFileUtils::GetFileDosTime(dir.Sub("missing.mdb"), false, true), -1);
  EXPECT_EQ(TkxFileUtils::GetFileDosTime(dir.Sub("missing.mdb"), true, false), -1);
  EXPECT_EQ(TkxFileUtils::GetFileDosTime("", true, true), -1);
}

class FileUtilsChoosers : public ::testing::Test {
 protected:
  void SetUp() override {
    dialogs_.scribble = "scribbled by a cancelled dialog";
    SetDialogs(&dialogs_);
  }
  void TearDown() override { SetDialogs(nullptr); }
  testing::ScriptedDialogs dialogs_;
};

TEST_F(FileUtilsChoosers, BrowseForFolderReturnsChoiceOrGivenText) {
  EXPECT_EQ(BrowseForFolder(""), "");
  EXPECT_EQ(BrowseForFolder("/data/"), "/data/");
  dialogs_.answer = "/chosen";
  EXPECT_EQ(BrowseForFolder("/data/"), "/chosen");
  EXPECT_EQ(dialogs_.shown,
            (std::vector<std::string>{"folder:", "folder:/data/", "folder:/data/"}));
}

TEST_F(FileUtilsChoosers, OpenFilesShowsStarsAndKeepsTextOnCancel) {
  const std::string filter = "Access Database (*.mdb;*.accdb)|*.mdb;*.accdb";
  std::string current = "/data/a?c.mdb";
  EXPECT_FALSE(SelectOpenFiles(filter, current, false));
  EXPECT_EQ(current, "/data/a?c.mdb");
  current = "/data/*.*db";
  EXPECT_FALSE(SelectOpenFiles(filter, current, true));
  EXPECT_EQ(current, "/data/*.*db");
  EXPECT_EQ(dialogs_.shown, (std::vector<std::string>{"open:" + filter + ":/data/a*c.mdb:single",
                                                      "open:" + filter + ":/data/*.*db:multi"}));
}

TEST_F(FileUtilsChoosers, OpenFilesConfirmedHoldsChoice) {
  dialogs_.answer = "/d/a.mdb\r\n/d/b.mdb\r\n/d/c.accdb\r\n";
  std::string current = "/d/";
  EXPECT_TRUE(SelectOpenFiles("Log File|*.log", current, true));
  EXPECT_EQ(current, "/d/a.mdb\r\n/d/b.mdb\r\n/d/c.accdb\r\n");
}

TEST_F(FileUtilsChoosers, SaveFileHoldsChoiceOnlyWhenConfirmed) {
  std::string current = "/d/run.log";
  EXPECT_FALSE(SelectSaveFile("Log File|*.log", ".log", current));
  EXPECT_EQ(current, "/d/run.log");
  dialogs_.answer = "/e/other.log";
  EXPECT_TRUE(SelectSaveFile("Log File|*.log", ".log", current));
  EXPECT_EQ(current, "/e/other.log");
  EXPECT_EQ(dialogs_.shown, (std::vector<std::string>{"save:Log File|*.log:.log:/d/run.log",
                                                      "save:Log File|*.log:.log:/d/run.log"}));
}

}  // namespace
}  // namespace orvelle
