// The console runner: one whole batch without a window, on the main thread, writing its log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "project/types.h"

namespace orvelle {

namespace console {
class RunWatch;
}

class TkxMain {
 public:
  TkxMain();
  ~TkxMain();
  TkxMain(const TkxMain&) = delete;
  TkxMain& operator=(const TkxMain&) = delete;

  // The whole console run; returns the process exit code: 0 when a run took place, whatever
  // its results; 2 when nothing could be searched or set up (an empty "Source" or "Target",
  // a target folder that cannot be created, a source folder that cannot be listed, a "Report"
  // file that cannot be written, no worker thread that could start). The reason then goes to
  // standard error and the log. A run that takes place ends with its summary line on
  // standard error, and shows its progress there while it works when that is a terminal.
  int Run();
  // OnNodeDone handler, called on worker threads.
  void LogResult(TkxBatch* batch, TkxNode* node);
  // End-of-run reporting: the report of the product information, then the log file.
  void Finish();

  TkxBatch* Batch() const { return batch_.get(); }
  std::vector<std::string> Log() const;

 private:
  // Tells the user why nothing was processed: standard error, and the log file when set.
  void Refuse(const std::string& message);
  // Standard-error notes on options that the run reads differently from what they say.
  void WarnAboutOptions();
  // Writes the lines (already escaped, text::EscapeLine) to the "LogFile" (when set) in the
  // ANSI code page with CR LF; a failure is reported on standard error and ends nothing else.
  void WriteLog(const std::vector<std::string>& lines);

  std::unique_ptr<TkxBatch> batch_;
  // Progress, report and summary of the current run; set before any worker starts.
  std::unique_ptr<console::RunWatch> watch_;
  mutable std::mutex log_mu_;
  std::vector<std::string> log_;  // guarded by log_mu_
};

// The process's console runner; null while it does not exist (start-up owns it).
extern TkxMain* kxMain;

}  // namespace orvelle
