#include "project/run_options.h"

#include "project/option_list.h"
#include "project/option_names.h"

namespace orvelle {

TkxRunOptions::TkxRunOptions(const TkxProject* project) {
  if (project == nullptr) return;
  const TkxProject& p = *project;
  TargetDelimiter = p.TargetDelimiter;
  RegExt = p.GetOption(option::kRegExt);
  SkipHidden = TkxOptionList::ParseBool(p.GetOption(option::kSkipHidden), false);
  TargetExt = p.TargetExt;
  AltExt = p.AltExt;
  MacroExt = p.MacroExt;
  MacroEnabled = p.MacroEnabled();
  KeepTargetSubdirs = p.KeepTargetSubdirs();
  Overwrite = p.IsOverwrite();
  ShortName = p.ShortName;
  KeepFileTime = p.KeepFileTime();
  DeleteSource = p.DeleteSource();
  RenameSource = p.RenameSource();
  ThreadsCount = p.ThreadsCount();
  Engine = p.GetOption(option::kEngine);
  Password = p.GetOption(option::kPassword);
}

}  // namespace orvelle
