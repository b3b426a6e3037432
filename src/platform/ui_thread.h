// UI hand-over seam: run a closure on the user-interface (main) thread.
#pragma once

#include <functional>

namespace orvelle {

class UiDispatcher {
 public:
  virtual ~UiDispatcher() = default;
  // Runs `fn` on the UI thread and waits until it has run (the thread class's Synchronize).
  // Called on the UI thread itself, it runs `fn` at once.
  virtual void Send(const std::function<void()>& fn) = 0;
  // Queues `fn` for the UI thread and returns at once.
  virtual void Post(std::function<void()> fn) = 0;
};

// The process's dispatcher; null until a window (or a test) installs one.
UiDispatcher* Ui();
void SetUi(UiDispatcher* dispatcher);

}  // namespace orvelle
