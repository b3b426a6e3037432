// The options dialog: one editor with the option text, Ok, Cancel and Help.
#include "platform/win32_util.h"
#include "product/exception_hook.h"
#include "ui/cfg_window.h"
#include "ui/win32/win32_ui.h"

namespace orvelle::win32 {
namespace {

constexpr wchar_t kClass[] = L"OrvelleConfig";
enum : int { kIdText = 100, kIdHelp = 101 };

struct CfgDialog {
  TkxFrmCfg* cfg = nullptr;
  HWND hwnd = nullptr;
  HWND text = nullptr;
  HWND tips = nullptr;
  bool done = false;
};

LRESULT CALLBACK CfgProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<CfgDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      break;
    }
    case WM_COMMAND:
      if (self == nullptr) break;
      switch (LOWORD(wp)) {
        case IDOK:
          GuardHandler([self] {
            const int n = GetWindowTextLengthW(self->text);
            std::wstring buffer(static_cast<size_t>(n) + 1, L'\0');
            GetWindowTextW(self->text, &buffer[0], n + 1);
            buffer.resize(static_cast<size_t>(n));
            self->cfg->btnOkClick(Narrow(buffer));
          });
          self->done = true;
          return 0;
        case IDCANCEL:
          self->done = true;
          return 0;
        case kIdHelp:
          GuardHandler([self] { self->cfg->btnHelpClick(); });
          return 0;
      }
      break;
    case WM_CLOSE:
      if (self != nullptr) self->done = true;
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND Child(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, DWORD ex, int x,
           int y, int w, int h, int id) {
  HWND child = CreateWindowExW(ex, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                               parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
  ApplyFont(child, FormFont());
  return child;
}

}  // namespace

void ShowConfigDialog(HWND owner, TkxFrmCfg& cfg) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = CfgProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    registered = true;
  }
  CfgDialog dialog;
  dialog.cfg = &cfg;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  const SIZE outer = OuterSize(style, ex_style, 292, 273);
  dialog.hwnd =
      CreateWindowExW(ex_style, kClass, Widen(kCfgCaption).c_str(), style, kFormLeft, kFormTop,
                      outer.cx, outer.cy, owner, nullptr, GetModuleHandleW(nullptr), &dialog);
  if (dialog.hwnd == nullptr) return;
  ApplyFont(dialog.hwnd, FormFont());
  // Creation order is the tab order: editor, Ok, Cancel, Help.
  dialog.text = Child(dialog.hwnd, L"EDIT", L"",
                      WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                          ES_AUTOHSCROLL | ES_WANTRETURN,
                      WS_EX_CLIENTEDGE, 16, 16, 256, 200, kIdText);
  SendMessageW(dialog.text, EM_SETLIMITTEXT, 0, 0);
  Child(dialog.hwnd, L"BUTTON", Widen(kCfgOk), WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 120, 233, 72, 25,
        IDOK);
  Child(dialog.hwnd, L"BUTTON", Widen(kCfgCancel), WS_TABSTOP | BS_PUSHBUTTON, 0, 200, 233, 72, 25,
        IDCANCEL);
  HWND help = Child(dialog.hwnd, L"BUTTON", Widen(kCfgHelp), WS_TABSTOP | BS_PUSHBUTTON, 0, 16, 233,
                    72, 25, kIdHelp);
  dialog.tips = CreateHintWindow(dialog.hwnd);
  SetControlHint(dialog.tips, dialog.hwnd, dialog.text, kCfgEditHint);
  SetControlHint(dialog.tips, dialog.hwnd, help, kCfgHelpHint);

  std::string text;
  GuardHandler([&] { text = cfg.FormShow(); });
  SetWindowTextW(dialog.text, Widen(text).c_str());
  CentreOnScreen(dialog.hwnd);
  ShowWindow(dialog.hwnd, SW_SHOW);
  SetFocus(dialog.text);
  RunModal(owner, dialog.hwnd, [&dialog] { return dialog.done; });
  DestroyWindow(dialog.tips);
  DestroyWindow(dialog.hwnd);
}

}  // namespace orvelle::win32
