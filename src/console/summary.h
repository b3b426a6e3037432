// The counts of a console run and the summary line it ends with.
#pragma once

#include <cstdint>
#include <string>

#include "project/types.h"

namespace orvelle::console {

enum class FileOutcome { kCompacted, kFailed, kSkipped };

// A skipped file (its target exists and "IsOverwrite" is skip) succeeds with no message.
FileOutcome OutcomeOf(const TkxNode& node);

// What a run has done so far. Not thread-safe: the owner serialises Count.
struct RunTally {
  int found = 0;  // set by the owner from the batch
  int done = 0;
  int compacted = 0;
  int failed = 0;
  int skipped = 0;
  int64_t bytes_before = 0;     // sources of the compacted files
  int64_t bytes_after = 0;      // their results
  int64_t bytes_processed = 0;  // sources of every file done, as far as their sizes are known

  // Counts one finished file.
  void Count(const TkxNode& node);
};

// "512 B", "1.50 kB", "1.20 MB", "3.00 GB" (decimal units, two decimals).
std::string SizeText(int64_t bytes);

// "orvelle: 3 files: 2 compacted, 1 failed, 0 skipped; 1.20 MB -> 0.90 MB (-25.0%) in 0.41 s",
// without a line break; the change is left out when nothing was compacted.
std::string SummaryLine(const RunTally& tally, double seconds);

}  // namespace orvelle::console
