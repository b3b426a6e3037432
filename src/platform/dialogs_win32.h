// The pure parts of the Win32 choosers, apart so that tests can check them without ever
// showing a dialog. Free of <windows.h>.
#pragma once

#include <string>

namespace orvelle::win32 {

// "Desc|pattern|Desc|pattern" as the common dialogs want it: each item ended by NUL and the
// list by one more. An empty filter gives an empty text (no filter); a description without a
// pattern serves as its own pattern.
std::wstring DialogFilter(const std::string& filter);

// The initial file name of the open-file dialog: `current` with every "?" shown as "*".
std::string OpenInitialName(const std::string& current);

// The initial folder: the folder part of `current`, empty when it has none.
std::string InitialFolder(const std::string& current);

// The dialogs want the default extension without its point (".log" -> "log").
std::wstring DefaultExtension(const std::string& ext);

// The open-file dialog's answer (`buffer` holds `size` characters): one full path, or with
// multiple selection a folder followed by the chosen names, all separated by NUL and ended
// by two. Gives each full path followed by CR LF.
std::string MultiSelectResult(const wchar_t* buffer, size_t size);

}  // namespace orvelle::win32
