// What the main window's logic needs of a real window. Abstract so that the logic runs and
// is tested without a desktop; the Win32 window implements it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvelle {

class TkxFrmCfg;

// The commands of the window, in the order of its action list.
enum class TkxAction {
  aOpen,
  aNew,
  aConfig,
  aSave,
  aSaveAs,
  aUpdate,
  aHelp,
  aHomePage,
  aSupports,
  aAbout,
  aSearch,
  aConvert,
  aSearchConvert,
  aPause,
  aStop,
  aView,
};
inline constexpr int kActionCount = static_cast<int>(TkxAction::aView) + 1;

// The two buttons whose action changes with the run state.
enum class TkxButton { bCreate, bSearchConvert };

// The two edits of the window.
enum class TkxField { eSource, eTarget };

// The control under a drop; everything that takes no drop is None.
enum class TkxDropTarget { None, lViewer, eSource, eTarget };

enum class TkxRunState { Idle, Running, Pausing, Stopping };

// One row of the result list: the state icon index, the file's path and its result text.
struct TkxRow {
  int32_t Image = 0;
  std::string Path;
  std::string Result;
};

// Enabled states of the list's pop-up menu items.
struct TkxListMenu {
  bool BrowseFiles = true;
  bool ViewSource = false;
  bool OpenSource = false;
  bool ViewOutput = true;
  bool ExportList = true;
};

// One entry of the recent-project drop-down.
struct TkxMenuItem {
  std::string Caption;
  bool Enabled = false;
};

// Every call comes on the user-interface thread.
class TkxMainView {
 public:
  virtual ~TkxMainView() = default;

  virtual std::string FieldText(TkxField field) const = 0;
  virtual void SetFieldText(TkxField field, const std::string& text) = 0;
  virtual bool SubdirChecked() const = 0;
  virtual void SetSubdirChecked(bool checked) = 0;
  // May throw when the field cannot take the focus; callers ignore that.
  virtual void FocusField(TkxField field) = 0;
  virtual void SetCaption(const std::string& caption) = 0;

  virtual void SetActionEnabled(TkxAction action, bool enabled) = 0;
  // The button now follows `action` (caption, enabled state; bSearchConvert is hidden while
  // it follows the invisible aSearchConvert).
  virtual void SetButtonAction(TkxButton button, TkxAction action) = 0;

  // The result list changed its number of rows (cleared, or rows appended at the end).
  virtual void RowsChanged(int count) = 0;
  virtual void RowChanged(int row) = 0;
  // Selected rows in list order.
  virtual std::vector<int> SelectedRows() const = 0;

  // Shows the options dialog modally over its logic.
  virtual void ShowConfig(TkxFrmCfg& cfg) = 0;
  virtual void ShowAbout() = 0;

  // One-shot timer for the unattended repeat; starting it again restarts it.
  virtual void StartRepeatTimer(int milliseconds) = 0;
  virtual void StopRepeatTimer() = 0;
  // Closes the window once the current handler has returned.
  virtual void Close() = 0;
};

}  // namespace orvelle
