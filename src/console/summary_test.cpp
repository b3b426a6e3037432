#include "console/summary.h"

#include <gtest/gtest.h>

#include "batch/batch.h"
#include "console/progress.h"

namespace orvelle::console {
namespace {

TkxNode Node(int32_t state, const std::string& message, int64_t before, int64_t after) {
  TkxNode node;
  node.State = state;
  node.Source = "/data/x.mdb";
  node.Message = message;
  node.BytesBefore = before;
  node.BytesAfter = after;
  return node;
}

TEST(Summary, SizesInDecimalUnits) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 B"},           {999, "999 B"},          {1000, "1.00 kB"},
      {1500, "1.50 kB"},    {999994, "999.99 kB"},   {999995, "1.00 MB"},
      {1200000, "1.20 MB"}, {3000000000, "3.00 GB"}, {int64_t{5} << 50, "5629.50 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

// Skipped files succeed with no message; only compacted files count in the sizes, while every
// file done counts in the bytes processed.
TEST(Summary, CountsEachOutcome) {
  RunTally tally;
  tally.found = 4;
  tally.Count(Node(StateSuccess, "/out/a.mdb", 700000, 500000));
  tally.Count(Node(StateSuccess, "/out/b.mdb", 500000, 400000));
  tally.Count(Node(StateFailure, "Cannot compact", 300, -1));
  tally.Count(Node(StateSuccess, "", 9000, -1));
  EXPECT_EQ(tally.done, 4);
  EXPECT_EQ(tally.compacted, 2);
  EXPECT_EQ(tally.failed, 1);
  EXPECT_EQ(tally.skipped, 1);
  EXPECT_EQ(tally.bytes_before, 1200000);
  EXPECT_EQ(tally.bytes_after, 900000);
  EXPECT_EQ(tally.bytes_processed, 1209300);
  EXPECT_EQ(SummaryLine(tally, 0.414),
            "orvelle: 4 files: 2 compacted, 1 failed, 1 skipped; 1.20 MB -> 900.00 kB (-25.0%) "
            "in 0.41 s");
}

TEST(Summary, LineWithoutCompactedFiles) {
  RunTally tally;
  EXPECT_EQ(SummaryLine(tally, 0),
            "orvelle: 0 files: 0 compacted, 0 failed, 0 skipped; 0 B -> 0 B in 0.00 s");
  tally.found = 1;
  tally.Count(Node(StateFailure, "gone", -1, -1));
  EXPECT_EQ(SummaryLine(tally, 2.5),
            "orvelle: 1 file: 0 compacted, 1 failed, 0 skipped; 0 B -> 0 B in 2.50 s");
}

TEST(Progress, LineFitsTheTerminal) {
  RunTally tally;
  tally.found = 12;
  tally.Count(Node(StateSuccess, "/out/a.mdb", 4200000, 100));
  tally.Count(Node(StateFailure, "x", 10, -1));
  struct Case {
    std::string current;
    size_t width;
    std::string line;
  };
  const Case cases[] = {
      {"", 80, "orvelle: 2/12 files, 1 failed, 4.20 MB"},
      {"/data/b.mdb", 80, "orvelle: 2/12 files, 1 failed, 4.20 MB; compacting /data/b.mdb"},
      // The end of a long name stays, and the last column is never written.
      {"/data/a/very/long/folder/name/c.mdb", 66,
       "orvelle: 2/12 files, 1 failed, 4.20 MB; compacting .../name/c.mdb"},
      {"/data/xäöü.mdb", 61, "orvelle: 2/12 files, 1 failed, 4.20 MB; compacting ...öü.mdb"},
      // Too narrow for a name: the counts alone, cut to the width.
      {"/data/b.mdb", 40, "orvelle: 2/12 files, 1 failed, 4.20 MB"},
      {"/data/b.mdb", 20, "orvelle: 2/12 files"},
      // A name cannot break the line or move the cursor.
      {"/data/x\r\x1b[2J.mdb", 80,
       "orvelle: 2/12 files, 1 failed, 4.20 MB; compacting /data/x%0D%1B[2J.mdb"},
  };
  for (const Case& c : cases) EXPECT_EQ(ProgressText(tally, c.current, c.width), c.line) << c.width;
}

}  // namespace
}  // namespace orvelle::console
