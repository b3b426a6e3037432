#include "platform/ui_thread_win32.h"

#include <stdexcept>
#include <utility>

#include "platform/win32_util.h"

namespace orvelle::win32 {
namespace {

constexpr UINT kSendMessage = WM_APP + 1;
constexpr UINT kWakeMessage = WM_APP + 2;
constexpr wchar_t kClassName[] = L"OrvelleUiDispatcher";

struct SendCall {
  const std::function<void()>* fn;
  std::exception_ptr error;
};

LRESULT CALLBACK DispatcherProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == kSendMessage) {
    auto* call = reinterpret_cast<SendCall*>(lparam);
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    return 0;
  }
  if (msg == kWakeMessage) {
    auto* self = reinterpret_cast<WindowDispatcher*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) self->RunPosted();
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

void RegisterClassOnce() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DispatcherProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  (void)registered;
}

}  // namespace

WindowDispatcher::WindowDispatcher() : thread_id_(GetCurrentThreadId()) {
  RegisterClassOnce();
  HWND hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) {
    throw std::runtime_error("Cannot create the message window: " + SystemMessage(GetLastError()));
  }
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = hwnd;
}

WindowDispatcher::~WindowDispatcher() {
  HWND hwnd = static_cast<HWND>(window_);
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  DestroyWindow(hwnd);
  std::lock_guard<std::mutex> lock(mu_);
  posted_.clear();
}

void WindowDispatcher::Send(const std::function<void()>& fn) {
  if (GetCurrentThreadId() == thread_id_) {
    fn();
    return;
  }
  SendCall call{&fn, nullptr};
  SendMessageW(static_cast<HWND>(window_), kSendMessage, 0, reinterpret_cast<LPARAM>(&call));
  if (call.error) std::rethrow_exception(call.error);
}

void WindowDispatcher::Post(std::function<void()> fn) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    posted_.push_back(std::move(fn));
    wake = !wake_pending_;
    wake_pending_ = true;
  }
  // One wake-up message serves every closure queued before it is handled.
  if (wake) PostMessageW(static_cast<HWND>(window_), kWakeMessage, 0, 0);
}

void WindowDispatcher::RunPosted() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(mu_);
    batch.swap(posted_);
    wake_pending_ = false;
  }
  for (auto& fn : batch) {
    try {
      fn();
    } catch (...) {
      if (on_error_) on_error_(std::current_exception());
    }
  }
}

void WindowDispatcher::SetErrorHandler(std::function<void(std::exception_ptr)> handler) {
  on_error_ = std::move(handler);
}

}  // namespace orvelle::win32
