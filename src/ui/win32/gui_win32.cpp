// The windowed application: common controls, the UI hand-over, the main and about windows,
// and the message loop.
#include <objbase.h>

#include "platform/ui_thread.h"
#include "platform/ui_thread_win32.h"
#include "platform/win32_owner.h"
#include "product/exception_hook.h"
#include "product/info.h"
#include "project/project.h"
#include "ui/gui.h"
#include "ui/win32/about_window_win32.h"
#include "ui/win32/main_window_win32.h"

namespace orvelle {

bool HasWindow() { return true; }

int RunWindowApplication() {
  if (kxProject == nullptr) return 1;
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&icc);
  // The choosers are shell dialogs, which want an apartment on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  win32::WindowDispatcher dispatcher;
  dispatcher.SetErrorHandler(&ReportEscapedException);
  SetUi(&dispatcher);

  int exit_code = 0;
  {
    win32::MainWindow main(*kxProject, kxInfo);
    HWND hwnd = main.Create();
    if (hwnd == nullptr) {
      SetUi(nullptr);
      if (SUCCEEDED(com)) CoUninitialize();
      return 1;
    }
    win32::SetOwnerWindow(hwnd);
    win32::AboutWindow about(*kxProject, hwnd);
    main.OnAbout = [&about] { about.Logic().ShowAbout(); };
    // The start-up call shows nothing; it hides an unattended window from view.
    GuardHandler([&about] { about.Logic().ShowAbout(); });

    win32::CentreOnScreen(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    GuardHandler([&main] { main.Logic().FormShow(); });

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      HWND current = main.Handle();
      if (current != nullptr && IsDialogMessageW(current, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    exit_code = static_cast<int>(msg.wParam);
    win32::SetOwnerWindow(nullptr);
  }
  SetUi(nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
  return exit_code;
}

}  // namespace orvelle
