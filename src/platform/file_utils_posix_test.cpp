// DOS times of files whose times the test sets itself (utimes, POSIX only).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <ctime>
#include <string>

#include "platform/file_utils.h"
#include "test_support.h"

namespace orvelle {
namespace {

using test::ScopedTempDir;
using test::WriteBytes;

void SetWriteTime(const std::string& path, int year, int month, int day, int hour, int minute,
                  int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const time_t t = timegm(&tm);
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

constexpr int32_t Dos(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<int32_t>(static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day) << 16 |
                              static_cast<uint32_t>(hour << 11 | minute << 5 | second / 2));
}

TEST(FileUtilsDosTimePosix, FolderAndFileWriteTimesInUtc) {
  ScopedTempDir dir;
  const std::string folder = dir.Sub("folder");
  const std::string file = dir.Sub("file.mdb");
  WriteBytes(folder + "/inner", "x");
  WriteBytes(file, "x");
  SetWriteTime(folder, 2020, 6, 15, 10, 20, 30);
  SetWriteTime(file, 2107, 12, 31, 23, 59, 58);
  EXPECT_EQ(TkxFileUtils::GetFileDosTime(folder, false, true), Dos(2020, 6, 15, 10, 20, 30));
  EXPECT_EQ(TkxFileUtils::GetFileDosTime(file, false, true), Dos(2107, 12, 31, 23, 59, 58));
  EXPECT_NE(TkxFileUtils::GetFileDosTime(folder, true, true), -1);
  EXPECT_NE(TkxFileUtils::GetFileDosTime(folder, true, false), -1);
}

TEST(FileUtilsDosTimePosix, TimeBeforeNineteenEightyHasNoDosForm) {
  ScopedTempDir dir;
  const std::string old_file = dir.Sub("old.mdb");
  WriteBytes(old_file, "x");
  SetWriteTime(old_file, 1975, 1, 1, 0, 0, 0);
  EXPECT_EQ(TkxFileUtils::GetFileDosTime(old_file, false, true), -1);
}

}  // namespace
}  // namespace orvelle
