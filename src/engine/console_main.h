// The console runner: one whole batch without a window, on the main thread, writing its log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/types.h"

namespace orvelle {

class TkxMain {
 public:
  TkxMain();
  ~TkxMain();
  TkxMain(const TkxMain&) = delete;
  TkxMain& operator=(const TkxMain&) = delete;

  // The whole console run; returns the process exit code (0 when a run took place).
  int Run();
  // OnNodeDone handler, called on worker threads.
  void LogResult(TkxBatch* batch, TkxNode* node);
  // End-of-run reporting: the report of the product information, then the log file.
  void Finish();

  TkxBatch* Batch() const { return batch_.get(); }
  std::vector<std::string> Log() const;

 private:
  std::unique_ptr<TkxBatch> batch_;
  mutable std::mutex log_mu_;
  std::vector<std::string> log_;  // guarded by log_mu_
};

}  // namespace orvelle
