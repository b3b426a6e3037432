// Helpers shared by the Win32 implementations of the seams. Includes <windows.h>, so only
// *_win32.cpp files may include it.
#pragma once

#include <windows.h>

#include <string>

namespace orvelle::win32 {

// UTF-8 to UTF-16 and back; invalid UTF-8 becomes U+FFFD, unpaired surrogates likewise.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16, size_t length);

// The path as Win32 wants it: UTF-16, and with the \\?\ (or \\?\UNC\) prefix when it is too
// long for the classic calls, so deep folders stay reachable.
std::wstring LongPath(const std::string& utf8);

// The system's text for an error code, without the trailing line break and full stop that
// FormatMessage adds; empty when the system has no text.
std::string SystemMessage(DWORD code);

}  // namespace orvelle::win32
