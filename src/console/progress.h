// The progress line of a console run on a terminal: one line on standard error, redrawn in
// place while the run works and cleared before the summary.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "console/summary.h"

namespace orvelle::console {

// "orvelle: 3/12 files, 1 failed, 4.20 MB; compacting /data/a.mdb", cut to `width` columns
// (the start of a long name goes first). `current` is the file in hand, empty for none.
std::string ProgressText(const RunTally& tally, const std::string& current, size_t width);

// Redraws the line from `text(width)` every quarter second, and at once on Poke (at most ten
// times a second). Draws nothing unless `out` is a terminal. Thread-safe.
class ProgressLine {
 public:
  ProgressLine(std::FILE* out, std::function<std::string(size_t width)> text);
  ~ProgressLine();  // Stop
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool Active() const { return active_; }
  void Poke();
  // Ends the redrawing and clears the line; a second call does nothing.
  void Stop();

 private:
  void Draw();
  void Tick();

  std::FILE* out_;
  std::function<std::string(size_t width)> text_;
  const bool active_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;  // guarded by mu_
  bool poked_ = false;     // guarded by mu_
  bool drawn_ = false;     // guarded by mu_
  std::thread ticker_;
};

}  // namespace orvelle::console
