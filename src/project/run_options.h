// The options one run works with, read from the project once where the run is set up: the
// batch and its jobs hold this value and never go back to the project while they run.
#pragma once

#include <string>

#include "platform/path.h"
#include "project/project.h"

namespace orvelle {

struct TkxRunOptions {
  // Every option at the value it has without a project.
  TkxRunOptions() = default;
  // The project's options and descriptor now; null gives the defaults.
  explicit TkxRunOptions(const TkxProject* project);

  char TargetDelimiter = kPathDelim;
  std::string RegExt;  // the file-name filter beside the mask; empty: none
  bool SkipHidden = false;
  // The descriptor's target extensions (TargetExt empty: the name is kept).
  std::string TargetExt;
  std::string AltExt;
  std::string MacroExt;
  bool MacroEnabled = false;
  bool KeepTargetSubdirs = true;
  TkxOverwrite Overwrite = TkxOverwrite::No;
  std::string ShortName = "tessoly";
  bool KeepFileTime = false;
  bool DeleteSource = false;
  std::string RenameSource;
  int ThreadsCount = 1;
  std::string Engine;
  std::string Password;
};

}  // namespace orvelle
