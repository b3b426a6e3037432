// Win32 only: the window that owns what the shell and the choosers open. Kept free of
// <windows.h>, so the window code can include it without pulling the API into the core.
#pragma once

namespace orvelle::win32 {

// The main window (an HWND), null until there is one; the shell and the dialogs use it as
// their owner, so that they open in front of it and keep it disabled while modal.
void SetOwnerWindow(void* hwnd);
void* OwnerWindow();

}  // namespace orvelle::win32
