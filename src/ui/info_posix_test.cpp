// The state's second key, the installation number in local time (time zone set through TZ).
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "jobs/file_utils.h"
#include "test_support.h"
#include "ui/info.h"
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
  WriteBytes(state, "");
  const int32_t utc = TkxFileUtils::GetFileDosTime(dir.Sub("bin"), true, true);
  const int32_t local = TkxFileUtils::GetFileDosTime(dir.Sub("bin"), true, false);
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

}  // namespace
}  // namespace orvelle
