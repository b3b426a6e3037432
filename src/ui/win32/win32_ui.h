// Shared pieces of the Win32 windows: the base form's defaults, hints, artwork conversion
// and the modal helpers. Includes <windows.h>: for *_win32.cpp files only.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvelle {
class TkxFrmCfg;
}

namespace orvelle::win32 {

// TkxFrmBase: position, size, font (Tahoma, 11 pixels high) and button-face colour.
inline constexpr int kFormLeft = 100;
inline constexpr int kFormTop = 100;
inline constexpr int kFormWidth = 1200;
inline constexpr int kFormHeight = 600;
HFONT FormFont();
HFONT MakeFont(const wchar_t* face, int pixel_height, bool bold);
void ApplyFont(HWND hwnd, HFONT font);
// Centres the window on the screen's work area (the base form does so at show time).
void CentreOnScreen(HWND hwnd);
// Outer size for a wanted client size.
SIZE OuterSize(DWORD style, DWORD ex_style, int client_width, int client_height);

// Hints: one tooltip window per form.
HWND CreateHintWindow(HWND owner);
void SetControlHint(HWND tips, HWND owner, HWND control, const std::string& text);
void SetAreaHint(HWND tips, HWND owner, UINT_PTR id, const RECT& area, const std::string& text);

// Artwork from src/ui/icons.
// A top-down 32-bit DIB section of width x height; `bits` receives its pixels.
HBITMAP MakeDib(int width, int height, void** bits);
HICON MakeIcon(const std::vector<uint32_t>& argb, int size);
HIMAGELIST MakeImageList();  // the three row states, then the ten tool bar icons
// The pixels laid over a solid colour, drawn at (x, y).
void DrawPixels(HDC dc, int x, int y, const std::vector<uint32_t>& argb, int size, COLORREF ground);

// Menu and button captions take "&" as an accelerator mark; a path must show its own.
std::wstring LiteralText(const std::string& utf8);

// Runs a modal loop for `dialog` with `owner` disabled until `done` holds. A quit request
// met on the way is passed on to the outer loop.
void RunModal(HWND owner, HWND dialog, const std::function<bool()>& done);

// The options dialog over its logic, modal to `owner`.
void ShowConfigDialog(HWND owner, TkxFrmCfg& cfg);

}  // namespace orvelle::win32
