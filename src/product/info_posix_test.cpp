// The state file on POSIX: the local-time key (time zone set through TZ) and runs side by side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "deadline_posix.h"
#include "platform/file_utils.h"
#include "product/info.h"
#include "test_support.h"
#include "ui/testtools/scoped_env.h"

namespace orvelle {
namespace {

using test::ScopedEnv;
using test::ScopedTempDir;
using test::WriteBytes;

// A time zone for the life of the object; the library rereads TZ when it is set and restored.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz) : env_("TZ", tz) { tzset(); }

 private:
  struct Reread {
    ~Reread() { tzset(); }
  } reread_;  // destroyed after env_, so it sees the restored TZ
  ScopedEnv env_;
};

TEST(InfoPosix, StateUnderTheLocalKeyIsReadAndSavedUnderTheUtcKey) {
  ScopedTimeZone zone("XST-5");
  ScopedTempDir dir;
  const std::string exe = dir.Sub("bin") + "/orvelle";
  const std::string state = exe + ".ext";
  WriteBytes(exe, "program");
  const int32_t utc = TkxInfo::FolderInstallNo(dir.Sub("bin"), true);
  const int32_t local = TkxInfo::FolderInstallNo(dir.Sub("bin"), false);
  ASSERT_NE(utc, local);
  WriteBytes(state, TkxInfo::ScrambleState({"R=7", "C=2"}, local));
  {
    TkxInfo info(exe);
    EXPECT_EQ(info.CounterText(), "r8c2");
  }
  std::vector<std::string> lines;
  EXPECT_TRUE(TkxInfo::UnscrambleState(test::ReadBytes(state), utc, lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"R=8", "C=2", "v=2"}));
}

// Runs side by side add up their counts: each change is made under a lock to what the file
// holds then, and the file is replaced whole, so no run reads it half written and starts
// again from nothing. Four processes count 25 runs each.
TEST(InfoPosix, ConcurrentRunsAddUpTheirCounts) {
  ScopedTempDir dir;
  const std::string exe = dir.Sub("bin") + "/orvelle";
  WriteBytes(exe, "program");
  constexpr int kProcesses = 4;
  constexpr int kRuns = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      {
        TkxInfo info(exe);
        for (int r = 0; r < kRuns; ++r) info.AddCount("C", 1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(test::WaitAtMost(pid, 60), 0);
  TkxInfo info(exe);
  EXPECT_EQ(info.GetState("R"), std::to_string(kProcesses + 1));
  EXPECT_EQ(info.GetState("C"), std::to_string(kProcesses * kRuns));
  // Nothing but the program and its state: no temporary file stayed behind.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Sub("bin"))) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"orvelle", "orvelle.ext"}));
}

}  // namespace
}  // namespace orvelle
