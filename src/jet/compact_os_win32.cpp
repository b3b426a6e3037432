#include <cstring>

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

namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

NewFile::~NewFile() { Close(nullptr); }

bool NewFile::Create(const std::string& path, std::string* error) {
  Close(nullptr);
  // CREATE_NEW fails on any existing name, a link or junction included.
  HANDLE h = CreateFileW(win32::LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = win32::SystemMessage(GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool NewFile::Write(const char* data, size_t size, std::string* error) {
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), data, want, &wrote, nullptr) || wrote == 0) {
      if (error) *error = win32::SystemMessage(GetLastError());
      return false;
    }
    data += wrote;
    size -= wrote;
  }
  return true;
}

bool NewFile::WriteAt(uint64_t offset, const char* data, size_t size, std::string* error) {
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), data, want, &wrote, &at) || wrote == 0) {
      if (error) *error = win32::SystemMessage(GetLastError());
      return false;
    }
    data += wrote;
    size -= wrote;
    offset += wrote;
  }
  return true;
}

void NewFile::StartWriteback() {}

bool NewFile::Close(std::string* error) {
  if (handle_ == -1) return true;
  HANDLE h = AsHandle(handle_);
  handle_ = -1;
  if (!CloseHandle(h)) {
    if (error) *error = win32::SystemMessage(GetLastError());
    return false;
  }
  return true;
}

std::string ComputerName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof host;
  if (!GetComputerNameA(host, &size)) host[0] = 0;
  return host;
}

LockFileHold::~LockFileHold() { Release(); }

bool LockFileHold::Acquire(const std::string& path, std::string* who) {
  Release();
  const std::wstring w = win32::LongPath(path);
  const std::string entry = LockFileEntry();
  // No sharing, as an exclusive open by Access: every other open fails while it is held. A
  // file created here goes when the handle closes, however the process ends.
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  bool remove = false;
  if (h != INVALID_HANDLE_VALUE) {
    DWORD wrote = 0;
    WriteFile(h, entry.data(), static_cast<DWORD>(entry.size()), &wrote, nullptr);
  } else {
    DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED || e == ERROR_WRITE_PROTECT) {
      if (GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    } else if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) {
      if (who) *who = "cannot be created: " + win32::SystemMessage(e);
      return false;
    }
    h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      h = CreateFileW(w.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) {
      e = GetLastError();
      if (who) {
        *who = e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION
                   ? std::string("open in another program")
                   : "cannot be opened: " + win32::SystemMessage(e);
      }
      return false;
    }
    // A lock file holding only the entry this program writes was left by a run that ended
    // without closing it.
    std::string found(entry.size() + 1, '\0');
    DWORD got = 0;
    ReadFile(h, &found[0], static_cast<DWORD>(found.size()), &got, nullptr);
    found.resize(got);
    remove = found.size() == entry.size() && found.compare(32, 32, entry, 32, 32) == 0;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  path_ = path;
  remove_ = remove;
  NoteHeldHere(path_, true);
  return true;
}

void LockFileHold::Release() {
  if (handle_ == -1) return;
  NoteHeldHere(path_, false);
  HANDLE h = AsHandle(handle_);
  if (remove_) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
  }
  CloseHandle(h);
  handle_ = -1;
  remove_ = false;
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
