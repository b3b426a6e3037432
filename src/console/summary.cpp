#include "console/summary.h"

#include <cstdio>

#include "batch/batch.h"

namespace orvelle::console {

namespace {

std::string Printed(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

}  // namespace

FileOutcome OutcomeOf(const TkxNode& node) {
  if (node.State != StateSuccess) return FileOutcome::kFailed;
  return node.Message.empty() ? FileOutcome::kSkipped : FileOutcome::kCompacted;
}

void RunTally::Count(const TkxNode& node) {
  ++done;
  if (node.BytesBefore > 0) bytes_processed += node.BytesBefore;
  switch (OutcomeOf(node)) {
    case FileOutcome::kCompacted:
      ++compacted;
      if (node.BytesBefore > 0) bytes_before += node.BytesBefore;
      if (node.BytesAfter > 0) bytes_after += node.BytesAfter;
      break;
    case FileOutcome::kFailed:
      ++failed;
      break;
    case FileOutcome::kSkipped:
      ++skipped;
      break;
  }
}

std::string SizeText(int64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const units[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  while (value >= 999.995 && unit + 1 < sizeof(units) / sizeof(units[0])) {
    value /= 1000.0;
    ++unit;
  }
  return Printed("%.2f", value) + " " + units[unit];
}

std::string SummaryLine(const RunTally& tally, double seconds) {
  std::string line = "orvelle: " + std::to_string(tally.found) +
                     (tally.found == 1 ? " file: " : " files: ") + std::to_string(tally.compacted) +
                     " compacted, " + std::to_string(tally.failed) + " failed, " +
                     std::to_string(tally.skipped) + " skipped; " + SizeText(tally.bytes_before) +
                     " -> " + SizeText(tally.bytes_after);
  if (tally.bytes_before > 0) {
    const double change = 100.0 * static_cast<double>(tally.bytes_after - tally.bytes_before) /
                          static_cast<double>(tally.bytes_before);
    line += " (" + Printed("%+.1f", change) + "%)";
  }
  return line + " in " + Printed("%.2f", seconds < 0 ? 0.0 : seconds) + " s";
}

}  // namespace orvelle::console
