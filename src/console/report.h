// The JSON Lines report of a console run ("Report"): one object per file, written and flushed
// as the file finishes, so that a report of a run that was stopped holds every file it ended.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "project/types.h"

namespace orvelle::console {

class ReportFile {
 public:
  // Opens `path` (terminal.h: OpenReportFile); an existing file is replaced only when it is
  // empty or begins with a line of a report. Null with `why` when it cannot be opened.
  static std::unique_ptr<ReportFile> Open(const std::string& path, std::string* why);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Appends the node's line; safe from any thread. The first failure to write is kept.
  void Add(const TkxNode& node);
  // Closes the file; false (with the first failure) when a line could not be written.
  bool Close(std::string* why);

  // The node's object as one line, without the line break.
  static std::string Line(const TkxNode& node);
  // True for what a report may begin with: nothing, or an object with "source" and "state".
  static bool IsReportHead(const std::string& head);

 private:
  explicit ReportFile(std::FILE* file) : file_(file) {}
  std::mutex mu_;
  std::FILE* file_;    // guarded by mu_
  std::string error_;  // guarded by mu_
};

}  // namespace orvelle::console
