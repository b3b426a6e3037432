#include "jet/compact_os.h"
#include "platform/win32_util.h"

namespace orvelle::jet {

bool LockFileHeld(const std::string& path, std::string* who) {
  // Access keeps its lock file open with sharing; an exclusive open fails while it does.
  HANDLE h = CreateFileW(win32::LongPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return false;
    if (who) {
      *who = e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION
                 ? std::string("open in another program")
                 : "cannot be opened: " + win32::SystemMessage(e);
    }
    return true;
  }
  CloseHandle(h);
  return false;
}

bool SyncFile(const std::string& path, std::string* error) {
  HANDLE h = CreateFileW(win32::LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = win32::SystemMessage(GetLastError());
    return false;
  }
  bool ok = FlushFileBuffers(h) != 0;
  if (!ok && error) *error = win32::SystemMessage(GetLastError());
  CloseHandle(h);
  return ok;
}

bool RenameNoReplace(const std::string& from, const std::string& to, std::string* error) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
  if (MoveFileExW(win32::LongPath(from).c_str(), win32::LongPath(to).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (error) *error = win32::SystemMessage(GetLastError());
  return false;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(win32::LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(win32::LongPath(path).c_str()) != 0; }

}  // namespace orvelle::jet
