// Win32 UI hand-over: a hidden message-only window on the thread that creates the dispatcher.
// Free of <windows.h> so window code can hold one without pulling the API into the core.
#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <mutex>

#include "platform/ui_thread.h"

namespace orvelle::win32 {

// Create and destroy it on the user-interface thread, which must pump messages for Send and
// Post to be served. Closures still queued when it is destroyed are dropped unrun, so none
// outlives what it refers to.
class WindowDispatcher : public UiDispatcher {
 public:
  WindowDispatcher();
  ~WindowDispatcher() override;
  WindowDispatcher(const WindowDispatcher&) = delete;
  WindowDispatcher& operator=(const WindowDispatcher&) = delete;

  // Runs at once on the UI thread; from another thread it waits like SendMessage, and an
  // exception thrown by `fn` reaches the caller.
  void Send(const std::function<void()>& fn) override;
  void Post(std::function<void()> fn) override;

  // Receives what a posted closure throws (the application's exception hook); without one
  // the exception is dropped so that it never unwinds through the system's message loop.
  void SetErrorHandler(std::function<void(std::exception_ptr)> handler);

  // Runs the posted closures; called by the window procedure.
  void RunPosted();

 private:
  void* window_ = nullptr;  // HWND, owned
  unsigned long thread_id_ = 0;
  std::mutex mu_;
  std::deque<std::function<void()>> posted_;          // guarded by mu_
  bool wake_pending_ = false;                         // guarded by mu_
  std::function<void(std::exception_ptr)> on_error_;  // UI thread only
};

}  // namespace orvelle::win32
