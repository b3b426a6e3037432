#include "platform/win32_util.h"

#include <vector>

namespace orvelle::win32 {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Narrow(const wchar_t* utf16, size_t length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

std::string Narrow(const std::wstring& utf16) { return Narrow(utf16.data(), utf16.size()); }

std::wstring LongPath(const std::string& utf8) {
  std::wstring path = Widen(utf8);
  // Below this length even CreateDirectoryW (which keeps room for an 8.3 name) is safe.
  constexpr size_t kClassicLimit = MAX_PATH - 12;
  if (path.size() < kClassicLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
  if (written == 0 || written >= n) return path;
  full.resize(written);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 2 && full[1] == L':') return L"\\\\?\\" + full;
  return path;
}

std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return std::string();
  std::wstring text(buffer, n);
  LocalFree(buffer);
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return Narrow(text);
}

}  // namespace orvelle::win32
