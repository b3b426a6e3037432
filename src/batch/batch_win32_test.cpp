#include <gtest/gtest.h>

#include "batch/batch.h"

namespace orvelle {
namespace {

TEST(BatchWin32Test, NormalizePathTable) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"file:///C:/Data/a.mdb", "C:\\Data\\a.mdb"},
      {"file://server/share/a.mdb", "\\\\server\\share\\a.mdb"},
      {"file://192.168.1.5/share", "\\\\192.168.1.5\\share"},
      {"file:///C:/Data/*.mdb", "C:\\Data\\*.mdb"},
      {"file:", ""},
      {"C:\\Data\\a.mdb", "C:\\Data\\a.mdb"},
      {"FILE:///C:/Data", "FILE:///C:/Data"},
  };
  for (const auto& c : cases) EXPECT_EQ(TkxBatch::NormalizePath(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace orvelle
