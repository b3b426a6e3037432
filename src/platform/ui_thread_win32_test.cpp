#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui_thread_win32.h"

namespace orvelle::win32 {
namespace {

// Serves the dispatcher until a closure posts the quit message.
void PumpUntilQuit() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
}

TEST(UiThreadWin32, SendOnTheUiThreadRunsAtOnce) {
  WindowDispatcher ui;
  bool ran = false;
  ui.Send([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(UiThreadWin32, WorkersHandOverInOrderAndSendWaits) {
  WindowDispatcher ui;
  const DWORD ui_thread = GetCurrentThreadId();
  std::vector<std::string> events;  // touched only on the UI thread
  bool all_on_ui_thread = true;
  size_t seen_after_send = 0;
  std::string send_error;
  std::thread worker([&] {
    ui.Send([&] {
      events.push_back("send");
      all_on_ui_thread = all_on_ui_thread && GetCurrentThreadId() == ui_thread;
    });
    // Send has returned, so its closure has run.
    ui.Send([&] { seen_after_send = events.size(); });
    try {
      ui.Send([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error& e) {
      send_error = e.what();
    }
    for (const char* name : {"post 1", "post 2", "post 3"}) {
      ui.Post([&, name] {
        events.push_back(name);
        all_on_ui_thread = all_on_ui_thread && GetCurrentThreadId() == ui_thread;
      });
    }
    ui.Post([] { PostQuitMessage(0); });
  });
  PumpUntilQuit();
  worker.join();
  EXPECT_EQ(events, (std::vector<std::string>{"send", "post 1", "post 2", "post 3"}));
  EXPECT_EQ(seen_after_send, 1u);
  EXPECT_EQ(send_error, "refused");
  EXPECT_TRUE(all_on_ui_thread);
}

TEST(UiThreadWin32, PostedErrorsGoToTheHandler) {
  WindowDispatcher ui;
  std::vector<std::string> errors;
  bool after = false;
  ui.SetErrorHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      errors.push_back(x.what());
    }
  });
  ui.Post([] { throw std::runtime_error("broken handler"); });
  ui.Post([&] { after = true; });
  ui.Post([] { PostQuitMessage(0); });
  PumpUntilQuit();
  EXPECT_EQ(errors, std::vector<std::string>{"broken handler"});
  EXPECT_TRUE(after) << "one failing closure does not cost the others";
}

TEST(UiThreadWin32, QueuedClosuresDieWithTheDispatcher) {
  bool ran = false;
  {
    WindowDispatcher ui;
    ui.Post([&] { ran = true; });
  }
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace orvelle::win32
