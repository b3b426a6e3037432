// The words of the main window: action captions and hints, component captions and hints,
// list columns and menu items. The compaction product replaces a few of them.
#pragma once

#include <array>
#include <string>

#include "ui/main_view.h"

namespace orvelle {

struct TkxMainTexts {
  std::array<std::string, kActionCount> ActionCaption;
  std::array<std::string, kActionCount> ActionHint;  // empty: no hint

  std::string pSourceHint;
  std::string eSourceLabel;
  std::string bSourceCaption;
  std::string bSourceHint;
  std::string bSourceFileCaption;
  std::string bSourceFileHint;
  std::string cSubdirCaption;
  std::string pTargetHint;
  std::string eTargetLabel;
  std::string bTargetCaption;
  std::string bTargetHint;
  std::string bCreateHint;  // the button's own hint while it shows aConvert
  std::string bViewHint;
  std::string lViewerHint;

  std::array<std::string, 3> ColumnCaption;
  std::array<int, 3> ColumnWidth;

  std::string BrowseFiles1;
  std::string ViewSource1;
  std::string OpenSource1;
  std::string ViewOutput1;
  std::string ExportList1;

  const std::string& Caption(TkxAction a) const { return ActionCaption[static_cast<int>(a)]; }
  const std::string& Hint(TkxAction a) const { return ActionHint[static_cast<int>(a)]; }
};

// The framework's window.
TkxMainTexts MainTexts();
// The compaction product's window (TkxFrmTessolyMain).
TkxMainTexts TessolyMainTexts();

}  // namespace orvelle
