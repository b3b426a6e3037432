#include <algorithm>

#include "platform/win32_util.h"
#include "ui/icons.h"
#include "ui/win32/win32_ui.h"

namespace orvelle::win32 {

HFONT MakeFont(const wchar_t* face, int pixel_height, bool bold) {
  return CreateFontW(-pixel_height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face);
}

HFONT FormFont() {
  static HFONT font = MakeFont(L"Tahoma", 11, false);
  return font;
}

void ApplyFont(HWND hwnd, HFONT font) {
  SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void CentreOnScreen(HWND hwnd) {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT r{};
  GetWindowRect(hwnd, &r);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  const int x = work.left + std::max(0L, (work.right - work.left - w) / 2);
  const int y = work.top + std::max(0L, (work.bottom - work.top - h) / 2);
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

SIZE OuterSize(DWORD style, DWORD ex_style, int client_width, int client_height) {
  RECT r{0, 0, client_width, client_height};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

HWND CreateHintWindow(HWND owner) {
  HWND tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  SendMessageW(tips, TTM_SETMAXTIPWIDTH, 0, 600);
  return tips;
}

void SetControlHint(HWND tips, HWND owner, HWND control, const std::string& text) {
  TOOLINFOW ti{};
  ti.cbSize = sizeof(ti);
  ti.hwnd = owner;
  ti.uId = reinterpret_cast<UINT_PTR>(control);
  SendMessageW(tips, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  if (text.empty()) return;
  std::wstring wide = Widen(text);
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.lpszText = &wide[0];
  SendMessageW(tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

void SetAreaHint(HWND tips, HWND owner, UINT_PTR id, const RECT& area, const std::string& text) {
  TOOLINFOW ti{};
  ti.cbSize = sizeof(ti);
  ti.hwnd = owner;
  ti.uId = id;
  SendMessageW(tips, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  std::wstring wide = Widen(text);
  ti.uFlags = TTF_SUBCLASS;
  ti.rect = area;
  ti.lpszText = &wide[0];
  SendMessageW(tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

HBITMAP MakeDib(int width, int height, void** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, bits, nullptr, 0);
}

HICON MakeIcon(const std::vector<uint32_t>& argb, int size) {
  void* bits = nullptr;
  HBITMAP color = MakeDib(size, size, &bits);
  if (color == nullptr || bits == nullptr) return nullptr;
  // Icons take straight alpha in BGRA order, which is what 0xAARRGGBB is in memory.
  std::copy(argb.begin(), argb.end(), static_cast<uint32_t*>(bits));
  std::vector<BYTE> mask_bits(static_cast<size_t>(((size + 15) / 16) * 2 * size), 0);
  HBITMAP mask = CreateBitmap(size, size, 1, 1, mask_bits.data());
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = color;
  info.hbmMask = mask;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(color);
  DeleteObject(mask);
  return icon;
}

HIMAGELIST MakeImageList() {
  HIMAGELIST list = ImageList_Create(kIconSize, kIconSize, ILC_COLOR32 | ILC_MASK, kIconCount, 0);
  for (int i = 0; i < kIconCount; ++i) {
    HICON icon = MakeIcon(DrawIcon(static_cast<TkxIcon>(i)), kIconSize);
    ImageList_AddIcon(list, icon);
    DestroyIcon(icon);
  }
  return list;
}

void DrawPixels(HDC dc, int x, int y, const std::vector<uint32_t>& argb, int size,
                COLORREF ground) {
  std::vector<uint32_t> out(argb.size());
  const uint32_t g[3] = {GetBValue(ground), GetGValue(ground), GetRValue(ground)};
  for (size_t i = 0; i < argb.size(); ++i) {
    const uint32_t p = argb[i];
    const uint32_t a = p >> 24;
    uint32_t mixed = 0;
    for (int c = 0; c < 3; ++c) {
      const uint32_t s = (p >> (8 * c)) & 0xFF;
      mixed |= ((s * a + g[c] * (255 - a)) / 255) << (8 * c);
    }
    out[i] = mixed;
  }
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = size;
  bi.bmiHeader.biHeight = -size;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, x, y, static_cast<DWORD>(size), static_cast<DWORD>(size), 0, 0, 0,
                    static_cast<UINT>(size), out.data(), &bi, DIB_RGB_COLORS);
}

std::wstring LiteralText(const std::string& utf8) {
  std::wstring out;
  for (wchar_t c : Widen(utf8)) {
    out += c;
    if (c == L'&') out += L'&';
  }
  return out;
}

void RunModal(HWND owner, HWND dialog, const std::function<bool()>& done) {
  if (owner != nullptr) EnableWindow(owner, FALSE);
  MSG msg;
  bool quit = false;
  WPARAM quit_code = 0;
  while (!done()) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quit_code = msg.wParam;
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (owner != nullptr) {
    EnableWindow(owner, TRUE);
    SetActiveWindow(owner);
  }
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
}

}  // namespace orvelle::win32
