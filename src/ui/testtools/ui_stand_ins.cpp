#include "ui/testtools/ui_stand_ins.h"

#include <chrono>
#include <exception>
#include <stdexcept>

#include "ui/cfg_window.h"

namespace orvelle::testing {

struct StandInDispatcher::Item {
  std::function<void()> fn;
  bool sent = false;  // a sender waits for it
  bool done = false;  // guarded by the dispatcher's mu_
  std::exception_ptr error;
};

StandInDispatcher::StandInDispatcher() : ui_thread_(std::this_thread::get_id()) { SetUi(this); }

StandInDispatcher::~StandInDispatcher() {
  SetUi(nullptr);
  std::lock_guard<std::mutex> lock(mu_);
  closing_ = true;
  for (auto& item : queue_) item->done = true;
  queue_.clear();
  cv_.notify_all();
}

void StandInDispatcher::Send(const std::function<void()>& fn) {
  if (std::this_thread::get_id() == ui_thread_) {
    fn();
    return;
  }
  auto item = std::make_shared<Item>();
  item->fn = fn;
  item->sent = true;
  std::unique_lock<std::mutex> lock(mu_);
  if (closing_) return;
  queue_.push_back(item);
  cv_.notify_all();
  cv_.wait(lock, [&] { return item->done; });
  if (item->error) std::rethrow_exception(item->error);
}

void StandInDispatcher::Post(std::function<void()> fn) {
  auto item = std::make_shared<Item>();
  item->fn = std::move(fn);
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return;
  queue_.push_back(item);
  cv_.notify_all();
}

bool StandInDispatcher::RunOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  auto item = queue_.front();
  queue_.pop_front();
  lock.unlock();
  std::exception_ptr error;
  try {
    item->fn();
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  item->error = item->sent ? error : nullptr;
  item->done = true;
  cv_.notify_all();
  if (error && !item->sent) std::rethrow_exception(error);
  return true;
}

int StandInDispatcher::RunPending() {
  if (std::this_thread::get_id() != ui_thread_) throw std::logic_error("not the UI thread");
  int count = 0;
  std::unique_lock<std::mutex> lock(mu_);
  while (RunOne(lock)) ++count;
  return count;
}

bool StandInDispatcher::PumpUntil(const std::function<bool()>& done) {
  if (std::this_thread::get_id() != ui_thread_) throw std::logic_error("not the UI thread");
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    while (RunOne(lock)) {
    }
    lock.unlock();
    const bool finished = done();
    lock.lock();
    if (finished) return true;
    // A guard against a hung run only; every real wait ends as soon as a closure arrives.
    if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return !queue_.empty(); })) {
      return false;
    }
  }
}

size_t StandInDispatcher::Queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

std::string StandInMainView::FieldText(TkxField field) const {
  return field == TkxField::eSource ? source : target;
}

void StandInMainView::SetFieldText(TkxField field, const std::string& text) {
  if (field == TkxField::eSource) {
    source = text;
  } else {
    target = text;
    target_history.push_back(text);
  }
}

void StandInMainView::FocusField(TkxField field) {
  focus.push_back(field);
  if (focus_fails) throw std::runtime_error("Cannot focus a disabled or invisible window");
}

void StandInMainView::SetActionEnabled(TkxAction action, bool on) { enabled[action] = on; }

void StandInMainView::SetButtonAction(TkxButton button, TkxAction action) {
  buttons[button] = action;
}

void StandInMainView::RowsChanged(int count) {
  row_count = count;
  if (count == 0) ++clears;
}

void StandInMainView::ShowConfig(TkxFrmCfg& cfg) {
  config_text = cfg.FormShow();
  if (on_config) on_config(cfg);
}

void StandInMainView::StartRepeatTimer(int milliseconds) {
  timer_ms = milliseconds;
  ++timer_starts;
}

bool StandInMainView::Enabled(TkxAction action) const {
  auto it = enabled.find(action);
  return it == enabled.end() || it->second;
}

TkxAction StandInMainView::Shows(TkxButton button) const {
  auto it = buttons.find(button);
  if (it != buttons.end()) return it->second;
  return button == TkxButton::bCreate ? TkxAction::aConvert : TkxAction::aSearchConvert;
}

}  // namespace orvelle::testing
