// The about window: no border, blue ground at 200 of 255 opacity, picture and three labels
// in Verdana; any click or key closes it.
#include "ui/win32/about_window_win32.h"

#include "platform/win32_util.h"
#include "product/exception_hook.h"
#include "ui/icons.h"
#include "ui/win32/win32_ui.h"

namespace orvelle::win32 {
namespace {

constexpr wchar_t kClass[] = L"OrvelleAbout";
constexpr COLORREF kGround = RGB(0, 85, 255);
constexpr COLORREF kLabel = RGB(221, 221, 221);
constexpr int kWidth = 472;
constexpr int kHeight = 243;

LRESULT CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<AboutWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  return static_cast<LRESULT>(self->Handle(hwnd, msg, wp, lp));
}

}  // namespace

AboutWindow::AboutWindow(TkxProject& project, void* main_window)
    : logic_(*this, project), main_(main_window) {}

AboutWindow::~AboutWindow() {
  if (hwnd_ != nullptr) DestroyWindow(static_cast<HWND>(hwnd_));
}

void AboutWindow::SetLabels(const std::string& product, const std::string& version) {
  product_ = product;
  version_ = version;
}

void AboutWindow::HideMainWindow() {
  HWND main = static_cast<HWND>(main_);
  SetWindowLongPtrW(main, GWL_EXSTYLE, GetWindowLongPtrW(main, GWL_EXSTYLE) | WS_EX_LAYERED);
  SetLayeredWindowAttributes(main, 0, 0, LWA_ALPHA);
}

void AboutWindow::ShowModal() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = AboutProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = CreateSolidBrush(kGround);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    registered = true;
  }
  done_ = false;
  HWND hwnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW, kClass, L"", WS_POPUP, kFormLeft,
                              kFormTop, kWidth, kHeight, static_cast<HWND>(main_), nullptr,
                              GetModuleHandleW(nullptr), this);
  if (hwnd == nullptr) return;
  hwnd_ = hwnd;
  SetLayeredWindowAttributes(hwnd, 0, 200, LWA_ALPHA);
  CentreOnScreen(hwnd);
  GuardHandler([this] { logic_.FormShow(); });
  ShowWindow(hwnd, SW_SHOW);
  SetFocus(hwnd);
  RunModal(static_cast<HWND>(main_), hwnd, [this] { return done_; });
  DestroyWindow(hwnd);
  hwnd_ = nullptr;
}

long long AboutWindow::Handle(void* window, unsigned msg, unsigned long long wp, long long lp) {
  HWND hwnd = static_cast<HWND>(window);
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      static const std::vector<uint32_t> picture = DrawAboutPicture();
      DrawPixels(dc, 16, 16, picture, kAboutPictureSize, kGround);
      static HFONT product_font = MakeFont(L"Verdana", 21, true);
      static HFONT version_font = MakeFont(L"Verdana", 13, true);
      static HFONT notice_font = MakeFont(L"Verdana", 13, false);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, kLabel);
      HGDIOBJ old = SelectObject(dc, product_font);
      RECT product{153, 40, 153 + 270, 40 + 50};
      std::wstring text = Widen(product_);
      DrawTextW(dc, text.c_str(), -1, &product, DT_CENTER | DT_WORDBREAK);
      SelectObject(dc, version_font);
      RECT version{176, 96, 176 + 224, 96 + 16};
      text = Widen(version_);
      DrawTextW(dc, text.c_str(), -1, &version, DT_CENTER | DT_NOPREFIX | DT_SINGLELINE);
      SelectObject(dc, notice_font);
      RECT notice{184, 208, 184 + 264, 208 + 16};
      text = Widen(kAboutNotice);
      DrawTextW(dc, text.c_str(), -1, &notice, DT_NOPREFIX | DT_SINGLELINE);
      SelectObject(dc, old);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
      GuardHandler([this] { logic_.FormClick(); });
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_KEYDOWN:
      GuardHandler([this] { logic_.FormKeyPress(); });
      return 0;
    case WM_CLOSE:
      done_ = true;
      return 0;
  }
  return DefWindowProcW(hwnd, msg, static_cast<WPARAM>(wp), static_cast<LPARAM>(lp));
}

}  // namespace orvelle::win32
