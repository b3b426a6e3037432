// Stand-ins for the window tests: a view that records what the window shows, and a UI
// dispatcher whose queue the test runs explicitly on its own thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui_thread.h"
#include "ui/main_view.h"

namespace orvelle::testing {

// The constructing thread is the user-interface thread. Installs itself with SetUi and
// removes itself on destruction; closures still queued then are dropped (senders released).
class StandInDispatcher : public UiDispatcher {
 public:
  StandInDispatcher();
  ~StandInDispatcher() override;
  StandInDispatcher(const StandInDispatcher&) = delete;
  StandInDispatcher& operator=(const StandInDispatcher&) = delete;

  void Send(const std::function<void()>& fn) override;
  void Post(std::function<void()> fn) override;

  // Runs what is queued now, and what those closures queue, until the queue is empty.
  int RunPending();
  // Runs queued closures, waiting for more, until `done` holds. False when nothing arrived
  // for a long while (a hung run), so a failing test ends instead of hanging.
  bool PumpUntil(const std::function<bool()>& done);
  size_t Queued() const;

 private:
  struct Item;
  bool RunOne(std::unique_lock<std::mutex>& lock);

  std::thread::id ui_thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Item>> queue_;  // guarded by mu_
  bool closing_ = false;                     // guarded by mu_
};

// Records what the main window shows.
class StandInMainView : public TkxMainView {
 public:
  std::string FieldText(TkxField field) const override;
  void SetFieldText(TkxField field, const std::string& text) override;
  bool SubdirChecked() const override { return subdir; }
  void SetSubdirChecked(bool checked) override { subdir = checked; }
  void FocusField(TkxField field) override;
  void SetCaption(const std::string& text) override { caption = text; }
  void SetActionEnabled(TkxAction action, bool enabled) override;
  void SetButtonAction(TkxButton button, TkxAction action) override;
  void RowsChanged(int count) override;
  void RowChanged(int row) override { changed_rows.push_back(row); }
  std::vector<int> SelectedRows() const override { return selected; }
  void ShowConfig(TkxFrmCfg& cfg) override;
  void ShowAbout() override { ++about_shown; }
  void StartRepeatTimer(int milliseconds) override;
  void StopRepeatTimer() override { timer_ms = 0; }
  void Close() override { ++closed; }

  bool Enabled(TkxAction action) const;  // true until the window said otherwise
  TkxAction Shows(TkxButton button) const;
  bool SearchConvertVisible() const {
    return Shows(TkxButton::bSearchConvert) != TkxAction::aSearchConvert;
  }

  std::string source, target;
  bool subdir = false;
  std::string caption;
  std::vector<TkxField> focus;  // every focus request
  bool focus_fails = false;
  std::map<TkxAction, bool> enabled;
  std::map<TkxButton, TkxAction> buttons;
  int row_count = 0;
  int clears = 0;  // RowsChanged(0) calls
  std::vector<int> changed_rows;
  std::vector<int> selected;
  std::function<void(TkxFrmCfg&)> on_config;  // plays the dialog; null: just shows it
  std::string config_text;                    // what the dialog showed last
  int about_shown = 0;
  int timer_ms = 0;  // running repeat timer, 0 when none
  int timer_starts = 0;
  int closed = 0;
  std::vector<std::string> target_history;  // every text the target field was given
};

}  // namespace orvelle::testing
