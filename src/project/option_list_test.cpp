#include "project/option_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "test_support.h"

namespace orvelle {
namespace {

using Lines = std::vector<std::string>;

TEST(OptionListTest, LookupFollowsNameRules) {
  TkxOptionList list;
  list.SetText(
      "subdir=TRUE\r\n"
      "Source = D:\\in\r\n"
      "Target=C:\\a=b\r\n"
      "ThreadsCount=2\r\n"
      "a line without an equals sign\r\n"
      "ThreadsCount=8\r\n"
      "LogFile=\r\n");
  EXPECT_EQ(list.GetValue("Subdir"), "TRUE");
  EXPECT_TRUE(list.GetBool("Subdir", false));
  EXPECT_EQ(list.GetValue("Source"), "");  // the name carries the blank
  EXPECT_EQ(list.GetValue("Source "), " D:\\in");
  EXPECT_EQ(list.GetValue("Target"), "C:\\a=b");
  EXPECT_EQ(list.GetValue("ThreadsCount"), "2");
  EXPECT_EQ(list.GetValue("a line without an equals sign"), "");
  EXPECT_EQ(list.GetValue("LogFile"), "");
  EXPECT_EQ(list.GetValue("Missing"), "");
  EXPECT_EQ(list.Lines().size(), 7u);
}

TEST(OptionListTest, SetValueReplacesAppendsAndRemovesTheFirstLine) {
  TkxOptionList list;
  list.SetText("threadscount=2\r\nLogFile=a.log\r\nThreadsCount=8\r\nnote\r\n");
  list.SetValue("ThreadsCount", "4");
  EXPECT_EQ(list.Lines(), (Lines{"ThreadsCount=4", "LogFile=a.log", "ThreadsCount=8", "note"}));
  list.SetValue("LogFile", "");
  EXPECT_EQ(list.Lines(), (Lines{"ThreadsCount=4", "ThreadsCount=8", "note"}));
  list.SetValue("LogFile", "b.log");
  list.SetValue("Absent", "");
  EXPECT_EQ(list.GetText(), "ThreadsCount=4\r\nThreadsCount=8\r\nnote\r\nLogFile=b.log\r\n");
  list.Clear();
  EXPECT_EQ(list.GetText(), "");
}

TEST(OptionListTest, SetTextCutsAtEveryKindOfBreak) {
  struct Case {
    std::string text;
    Lines lines;
  };
  const Case cases[] = {
      {"", {}},
      {"\r\n", {""}},
      {"A=1", {"A=1"}},
      {"A=1\r\n", {"A=1"}},
      {"A=1\r\nB=2\rC=3\nD=4", {"A=1", "B=2", "C=3", "D=4"}},
      {"A=1\n\nB=2\r\r\n", {"A=1", "", "B=2", ""}},
      {"A=1\n\r\nB=2", {"A=1", "", "B=2"}},
      {std::string("A=1\r\nB=2\0C=3\r\n", 14), {"A=1", "B=2"}},
  };
  for (const auto& c : cases) {
    TkxOptionList list;
    list.SetText(c.text);
    EXPECT_EQ(list.Lines(), c.lines) << testing::PrintToString(c.text);
  }
}

TEST(OptionListTest, TypedReadersFallBackToTheDefault) {
  struct BoolCase {
    const char* value;
    bool def;
    bool expected;
  };
  const BoolCase bools[] = {
      {"1", false, true},      {"-1", false, true},    {"2", false, true},    {"0", true, false},
      {"0.0", true, false},    {"1.5", false, true},   {" 1", false, true},   {"True", false, true},
      {"tRUE", false, true},   {"FALSE", true, false}, {"yes", false, false}, {"yes", true, true},
      {"True ", false, false}, {"", true, true},       {"", false, false},    {".", true, true},
      {"1e3", false, true},    {"$1", false, false},
  };
  for (const auto& c : bools) {
    EXPECT_EQ(TkxOptionList::ParseBool(c.value, c.def), c.expected) << '"' << c.value << '"';
  }
  struct IntCase {
    const char* value;
    int32_t expected;
  };
  const IntCase ints[] = {
      {"8", 8},
      {"$10", 16},
      {"0x1f", 31},
      {"0XFF", 255},
      {" 8", 8},
      {"-5", -5},
      {"+7", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"8 threads", -99},
      {"8 ", -99},
      {"", -99},
      {"$", -99},
      {"0x", -99},
      {"-", -99},
      {"1.0", -99},
      {"2147483648", -99},
      {"$100000000", -99},
      {"99999999999999999999999", -99},
  };
  for (const auto& c : ints) {
    EXPECT_EQ(TkxOptionList::ParseInt(c.value, -99), c.expected) << '"' << c.value << '"';
  }
}

TEST(OptionListTest, SaveWritesLinesWithCrLfAndNoMark) {
  test::ScopedTempDir dir;
  TkxOptionList list;
  list.SetValue("A", "1");
  list.Save(dir.Sub("one.batch-tessoly"));
  EXPECT_EQ(test::ReadBytes(dir.Sub("one.batch-tessoly")), "A=1\r\n");

  list.SetText("Source=D:\\\xC3\xA9t\xC3\xA9\\*.mdb\r\nnote\r\n");
  list.Save(dir.Sub("two.batch-tessoly"));
  TkxOptionList again;
  again.Load(dir.Sub("two.batch-tessoly"));
  EXPECT_EQ(again.Lines(), list.Lines());
}

TEST(OptionListTest, LoadHonoursByteOrderMarks) {
  const std::string expected = "Source=\xC3\xA9t\xC3\xA9";  // été
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"utf8", "\xEF\xBB\xBFSource=\xC3\xA9t\xC3\xA9\r\n"},
      {"utf16le", std::string("\xFF\xFES\0o\0u\0r\0c\0e\0=\0\xE9\0t\0\xE9\0\r\0\n\0", 26)},
      {"utf16be", std::string("\xFE\xFF\0S\0o\0u\0r\0c\0e\0=\0\xE9\0t\0\xE9\0\r\0\n", 26)},
  };
  test::ScopedTempDir dir;
  for (const auto& c : cases) {
    test::WriteBytes(dir.Sub(c.name), c.bytes);
    TkxOptionList list;
    list.Load(dir.Sub(c.name));
    EXPECT_EQ(list.Lines(), Lines{expected}) << c.name;
  }
#ifndef _WIN32
  // Without a mark the bytes are read in the code page; in a UTF-8 code page a Latin-1 byte
  // is not a character and becomes the replacement character.
  test::WriteBytes(dir.Sub("ansi"), "Source=\xE9t\xE9\r\n");
  TkxOptionList list;
  list.Load(dir.Sub("ansi"));
  EXPECT_EQ(list.GetValue("Source"), "\xEF\xBF\xBDt\xEF\xBF\xBD");
#endif
}

TEST(OptionListTest, FailedLoadKeepsTheList) {
  test::ScopedTempDir dir;
  TkxOptionList list;
  list.SetText("A=1\r\n");
  EXPECT_THROW(list.Load(dir.Sub("missing.batch-tessoly")), fs::FileError);
  EXPECT_THROW(list.Load(dir.Path()), fs::FileError);  // a folder

  const std::string huge = dir.Sub("huge.batch-tessoly");
  test::WriteBytes(huge, "");
  std::filesystem::resize_file(huge, 100u << 20);
  try {
    list.Load(huge);
    FAIL() << "a 100 MB file was loaded";
  } catch (const fs::FileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot read file \"" + huge + "\". The file is too large (104857600 bytes).");
  }
  EXPECT_EQ(list.Lines(), Lines{"A=1"});
}

TEST(OptionListTest, HostileFilesLoadWithoutHarm) {
  test::ScopedTempDir dir;
  std::string garbage;
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245u + 12345u;
    garbage += static_cast<char>(seed >> 24);
  }
  const std::string long_line = "Source=" + std::string(1000000, 'x');
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"garbage", garbage},
      {"nul-byte", std::string("A=1\r\n\0B=2\r\n", 11)},
      {"utf16-odd", std::string("\xFF\xFE"
                                "A\0=\0\x00\xD8"
                                "1",
                                9)},
      {"bad-utf8",
       "\xEF\xBB\xBF"
       "A=\xC3\x28\xF0\x28\x8C\xBC\r\n"},
      {"long", long_line},
  };
  for (const auto& c : cases) {
    test::WriteBytes(dir.Sub(c.name), c.bytes);
    TkxOptionList list;
    list.Load(dir.Sub(c.name));
    list.Save(dir.Sub(std::string(c.name) + ".out"));  // what was loaded can be written back
  }
  TkxOptionList list;
  list.Load(dir.Sub("nul-byte"));
  EXPECT_EQ(list.Lines(), Lines{"A=1"});
  list.Load(dir.Sub("utf16-odd"));
  EXPECT_EQ(list.GetValue("A"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  list.Load(dir.Sub("long"));
  EXPECT_EQ(list.GetValue("source").size(), 1000000u);
}

// Readers on other threads see either the old or the new list, never a mixture.
TEST(OptionListTest, ReadersNeverSeeAHalfChangedList) {
  const std::string first = "Source=/a/*.mdb\r\nTarget=/a/out/\r\nThreadsCount=2\r\n";
  const std::string second = "Target=/b/out/\r\nSource=/b/*.accdb\r\n";
  TkxOptionList list;
  list.SetText(first);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  auto reader = [&] {
    while (!done.load()) {
      const std::string text = list.GetText();
      if (text != first && text != second) ++bad;
      const std::string source = list.GetValue("Source");
      if (source != "/a/*.mdb" && source != "/b/*.accdb") ++bad;
      const int32_t threads = list.GetInt("ThreadsCount", 1);
      if (threads != 1 && threads != 2) ++bad;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  for (int i = 0; i < 20000; ++i) list.SetText(i % 2 == 0 ? second : first);
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace orvelle
