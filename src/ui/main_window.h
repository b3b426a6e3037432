// The main window's logic (TkxFrmMain): source and target, the run states of a batch with
// its job chain, the result list's rows, drops, project and link commands and the
// unattended modes. Free of any toolkit: it drives a TkxMainView.
//
// Threads: every member runs on the user-interface thread. The batch's search thread and
// the jobs only queue notices, which reach the rows through Ui()->Post; a notice for a batch
// that has since been replaced is dropped. No batch is released while a job serves it.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/convertor.h"
#include "project/prop_list.h"
#include "ui/main_view.h"

namespace orvelle {

class TkxBatch;
class TkxFrmCfg;
class TkxInfo;
class TkxProject;

class TkxFrmMain {
 public:
  // `info` may be null (no links, no counters, no reports).
  TkxFrmMain(TkxMainView& view, TkxProject& project, TkxInfo* info);
  virtual ~TkxFrmMain();
  TkxFrmMain(const TkxFrmMain&) = delete;
  TkxFrmMain& operator=(const TkxFrmMain&) = delete;

  // --- Life cycle ---
  void FormCreate();
  void FormShow();
  // False while a run is going: the run is stopped and the window closes when its last job
  // has ended. True when the window may go now.
  bool FormCloseQuery();
  void FormDestroy();

  // --- Commands ---
  void Execute(TkxAction action);
  void aSearchExecute();
  void aConvertExecute();
  void aSearchConvertExecute();
  void aPauseExecute();
  void aStopExecute();
  void aViewExecute();
  void bSourceClick();
  void bSourceFileClick();
  void bTargetClick();
  std::vector<TkxMenuItem> pm2Popup() const;
  void RecentProjectClick(const std::string& caption);
  void DropFiles(TkxDropTarget target, const std::vector<std::string>& paths);
  // The unattended repeat's timer has fired.
  void OnRepeatTimer();

  // --- Result list ---
  TkxListMenu pm1Popup() const;
  void ViewSource1Click() { OpenSelectedSource(true); }
  void OpenSource1Click() { OpenSelectedSource(false); }
  void OpenSelectedSource(bool folder_only);
  void ExportList1Click();
  // Writes one log line per row; throws the file system's error when the file cannot be
  // written.
  void SaveListToFile(const std::string& path);
  int RowCount() const { return static_cast<int>(rows_.size()); }
  const TkxRow& Row(int index) const { return rows_[static_cast<size_t>(index)]; }
  // Applies the notices queued by other threads (normally through a posted closure).
  void DrainNotices();

  // --- State ---
  bool ActionEnabled(TkxAction action) const { return actions_[Slot(action)].Enabled; }
  int ActionTag(TkxAction action) const { return actions_[Slot(action)].Tag; }
  TkxAction ButtonAction(TkxButton button) const {
    return button == TkxButton::bCreate ? bCreate_action_ : bSearchConvert_action_;
  }
  TkxRunState RunState() const;
  // True from the start of a run until its last job has reported its end.
  bool Busy() const { return workers_left_ > 0; }
  TkxBatch* Batch() const { return batch_.get(); }
  int WorkersLeft() const { return workers_left_; }
  bool Stopped() const { return stopped_; }
  TkxProject& Project() const { return project_; }

 protected:
  // Registers eSource, cSubdir and eTarget with the project.
  virtual void BindControls();

 private:
  struct ActionState {
    bool Enabled = true;
    int Tag = 0;
  };
  struct Notice {
    unsigned Generation;
    int Index;
    bool Done;  // a job finished the node (else: the node was listed)
  };
  // Shared with the closures handed to other threads; `Owner` is cleared when the window
  // goes, so a late closure finds nobody.
  struct Mailbox {
    TkxFrmMain* Owner = nullptr;  // user-interface thread only
    std::mutex Mu;
    std::vector<Notice> Pending;  // guarded by Mu
    bool DrainPosted = false;     // guarded by Mu
  };
  class FieldControl;

  static size_t Slot(TkxAction a) { return static_cast<size_t>(a); }
  void SetEnabled(TkxAction action, bool enabled);
  void SetButton(TkxButton button, TkxAction action);

  void UpdateCaption();
  void SuggestTarget(const std::string& folder);
  // Replaces the batch and clears the list; false (and nothing changes) during a run.
  bool NewBatch();
  void ReleaseBatch();
  void FreeRetired();
  void AutoRun();
  void AfterRun();
  // Search; `after_run_when_empty` is false when Convert calls it and ends the run itself.
  void Search(bool after_run_when_empty);
  // Corrects the target text; false when nothing usable is left.
  bool CorrectTarget();
  void FocusField(TkxField field);
  void ShowFileRow(const std::string& text);
  void ApplyNotice(const Notice& notice);
  void OnFinish();
  static void Queue(const std::shared_ptr<Mailbox>& mailbox, Notice notice);

  TkxMainView& view_;
  TkxProject& project_;
  TkxInfo* info_;

  std::unique_ptr<TkxBatch> batch_;
  std::vector<std::unique_ptr<TkxBatch>> retired_;  // released batches waiting to be freed
  TkxJobs workers_;
  int workers_left_ = 0;
  bool stopped_ = false;
  bool shown_ = false;
  bool close_pending_ = false;
  unsigned generation_ = 0;  // of batch_; notices carry it

  std::array<ActionState, kActionCount> actions_{};
  TkxAction bCreate_action_ = TkxAction::aConvert;
  TkxAction bSearchConvert_action_ = TkxAction::aSearchConvert;

  std::vector<TkxRow> rows_;  // row k belongs to node k of batch_
  std::shared_ptr<Mailbox> mailbox_;
  std::vector<std::unique_ptr<TkxControl>> controls_;
  std::unique_ptr<TkxFrmCfg> cfg_;
};

// The compaction product's window: the same logic; only its texts differ (TessolyMainTexts).
class TkxFrmTessolyMain : public TkxFrmMain {
 public:
  using TkxFrmMain::TkxFrmMain;
};

}  // namespace orvelle
