#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <string>
#include <utility>

#include "platform/shell.h"
#include "platform/win32_owner.h"
#include "platform/win32_util.h"

namespace orvelle {
namespace win32 {
namespace {
std::atomic<void*> g_owner{nullptr};
}  // namespace

void SetOwnerWindow(void* hwnd) { g_owner.store(hwnd); }
void* OwnerWindow() { return g_owner.load(); }

}  // namespace win32

namespace shell {

void OpenWithDesktop(const std::string& target) {
  // Shell extensions behind some verbs are COM objects and need an apartment on this thread.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  ShellExecuteW(static_cast<HWND>(win32::OwnerWindow()), nullptr, win32::Widen(target).c_str(),
                nullptr, nullptr, SW_SHOWNORMAL);
  if (SUCCEEDED(init)) CoUninitialize();
}

}  // namespace shell
}  // namespace orvelle
