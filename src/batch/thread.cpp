#include "batch/thread.h"

#include <exception>

namespace orvelle {

TkxThread::TkxThread(bool free_on_terminate) : free_on_terminate_(free_on_terminate) {}

TkxThread::~TkxThread() {
  if (!started_) {
    for (auto& fn : after_free_) fn();
    return;
  }
  if (!free_on_terminate_ && thread_.joinable()) {
    terminated_.store(true);
    thread_.join();
  }
}

void TkxThread::Start() {
  std::lock_guard<std::mutex> lock(start_mu_);
  if (started_) return;
  started_ = true;
  try {
    thread_ = std::thread(&TkxThread::Run, this);
  } catch (...) {
    // No thread exists (a process or memory limit): the object stays the caller's.
    started_ = false;
    start_failed_ = true;
    throw;
  }
  if (free_on_terminate_) thread_.detach();
  // The new thread waits for start_mu_, so it cannot free the object before this returns.
}

void TkxThread::WaitFor() {
  if (free_on_terminate_) return;
  std::thread to_join;
  {
    std::lock_guard<std::mutex> lock(start_mu_);
    if (!thread_.joinable()) return;
    to_join = std::move(thread_);
  }
  to_join.join();
}

void TkxThread::Run(TkxThread* self) {
  { std::lock_guard<std::mutex> lock(self->start_mu_); }
  try {
    self->Execute();
  } catch (const std::exception& e) {
    self->fatal_error_ = e.what();
  } catch (...) {
    self->fatal_error_ = "Unknown exception";
  }
  try {
    self->DoTerminate();
  } catch (...) {
  }
  if (!self->free_on_terminate_) return;
  auto after_free = std::move(self->after_free_);
  delete self;
  for (auto& fn : after_free) fn();
}

}  // namespace orvelle
