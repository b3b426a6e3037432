// What a console run shows and keeps beside its log: the progress line on a terminal, the
// report file ("Report") and the summary line at the end. The console runner owns one per run.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "console/progress.h"
#include "console/report.h"
#include "console/summary.h"
#include "project/types.h"

namespace orvelle::console {

class RunWatch {
 public:
  // Progress and summary go to `err`. The clock starts here.
  explicit RunWatch(std::FILE* err);
  ~RunWatch();
  RunWatch(const RunWatch&) = delete;
  RunWatch& operator=(const RunWatch&) = delete;

  // Opens the report, before anything is searched; false with `why` when it cannot be.
  bool OpenReport(const std::string& path, std::string* why);
  // Starts the progress line over `batch`, which outlives the watch's use of it.
  void Begin(TkxBatch* batch);
  // One file finished (OnNodeDone, worker threads).
  void Done(const TkxNode& node);
  // Ends the progress line and closes the report; returns the trouble the report had, empty
  // when none.
  std::string End();
  // The summary line on the error stream.
  void PrintSummary();

  RunTally Tally() const;

 private:
  std::string ProgressNow(size_t width);

  std::FILE* err_;
  const std::chrono::steady_clock::time_point started_;
  std::unique_ptr<ReportFile> report_;
  TkxBatch* batch_ = nullptr;
  mutable std::mutex mu_;
  RunTally tally_;  // guarded by mu_
  std::unique_ptr<ProgressLine> progress_;
};

}  // namespace orvelle::console
