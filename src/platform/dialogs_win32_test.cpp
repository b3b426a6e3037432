#include "platform/dialogs_win32.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelle::win32 {
namespace {

using namespace std::string_literals;

TEST(DialogsWin32, FilterTexts) {
  const struct {
    std::string filter;
    std::wstring expected;
  } cases[] = {
      {"Access Database (*.mdb;*.accdb)|*.mdb;*.accdb",
       L"Access Database (*.mdb;*.accdb)\0*.mdb;*.accdb\0\0"s},
      {"Log File|*.log|All|*.*", L"Log File\0*.log\0All\0*.*\0\0"s},
      {"*.txt", L"*.txt\0*.txt\0\0"s},
      {"Projekt \xC3\xA4|*.p", L"Projekt \x00E4\0*.p\0\0"s},
      {"", L""s},
  };
  for (const auto& c : cases) EXPECT_EQ(DialogFilter(c.filter), c.expected) << c.filter;
}

TEST(DialogsWin32, InitialNameFolderAndExtension) {
  EXPECT_EQ(OpenInitialName("C:\\Data\\*.*db"), "C:\\Data\\*.*db");
  EXPECT_EQ(OpenInitialName("C:\\Data\\a?.m?b"), "C:\\Data\\a*.m*b");
  EXPECT_EQ(InitialFolder("C:\\Data\\*.*db"), "C:\\Data\\");
  EXPECT_EQ(InitialFolder("a.mdb"), "");
  EXPECT_EQ(InitialFolder(""), "");
  EXPECT_EQ(DefaultExtension(".log"), L"log");
  EXPECT_EQ(DefaultExtension(".batch-tessoly"), L"batch-tessoly");
  EXPECT_EQ(DefaultExtension(""), L"");
}

TEST(DialogsWin32, SelectionResults) {
  const struct {
    std::wstring buffer;
    std::string expected;
  } cases[] = {
      {L"C:\\Data\\a.mdb\0\0"s, "C:\\Data\\a.mdb\r\n"},
      {L"C:\\Data\0a.mdb\0b.accdb\0c.mdb\0\0"s,
       "C:\\Data\\a.mdb\r\nC:\\Data\\b.accdb\r\nC:\\Data\\c.mdb\r\n"},
      {L"C:\\\0a.mdb\0b.mdb\0\0"s, "C:\\a.mdb\r\nC:\\b.mdb\r\n"},
      {L"\0\0"s, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MultiSelectResult(c.buffer.data(), c.buffer.size()), c.expected);
  }
}

}  // namespace
}  // namespace orvelle::win32
