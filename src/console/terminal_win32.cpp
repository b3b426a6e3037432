#include <fcntl.h>
#include <io.h>

#include "console/terminal.h"
#include "platform/win32_util.h"

namespace orvelle::console {

namespace {

constexpr DWORD kHeadBytes = 64 * 1024;

std::string LastError() { return win32::SystemMessage(GetLastError()); }

std::FILE* AsStream(HANDLE handle, std::string* why) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    *why = "the file cannot be written";
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    *why = "the file cannot be written";
  }
  return file;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

size_t TerminalWidth(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (GetConsoleScreenBufferInfo(handle, &info) && info.srWindow.Right > info.srWindow.Left) {
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
  return 80;
}

std::FILE* OpenReportFile(const std::string& path,
                          const std::function<bool(const std::string& head)>& may_replace,
                          std::string* why) {
  const std::wstring name = win32::LongPath(path);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) return AsStream(handle, why);
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
    *why = win32::SystemMessage(error);
    return nullptr;
  }
  // The name itself is opened, never what a link leads to.
  handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *why = LastError();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    *why = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
               ? "it is a link, and a report is never written through one"
               : "it exists and is not a regular file";
    CloseHandle(handle);
    return nullptr;
  }
  std::string head(kHeadBytes, '\0');
  DWORD got = 0;
  if (!ReadFile(handle, head.data(), kHeadBytes, &got, nullptr)) {
    *why = LastError();
    CloseHandle(handle);
    return nullptr;
  }
  head.resize(got);
  if (!may_replace(head)) {
    *why = "it exists and holds something other than a report of this program";
    CloseHandle(handle);
    return nullptr;
  }
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    *why = LastError();
    CloseHandle(handle);
    return nullptr;
  }
  return AsStream(handle, why);
}

}  // namespace orvelle::console
