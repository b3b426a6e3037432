// rand_s, the system's random source, is declared only with this.
#define _CRT_RAND_S
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "platform/fs.h"
#include "platform/win32_util.h"

// After <windows.h>, which win32_util.h brings.
#include <aclapi.h>

namespace orvelle::fs {
namespace {

using win32::LongPath;
using win32::Narrow;
using win32::SystemMessage;
using win32::Widen;

int64_t FromFileTime(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME ToFileTime(int64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
  return ft;
}

bool IsDelimiter(char c) { return c == '\\' || c == '/'; }

std::string StripTrailingDelimiters(std::string path) {
  while (!path.empty() && IsDelimiter(path.back())) path.pop_back();
  return path;
}

// The Win32 calls want no trailing delimiter on a folder except a drive root ("C:\").
std::string EntryPath(const std::string& path) {
  std::string stripped = StripTrailingDelimiters(path);
  if (stripped.size() == 2 && stripped[1] == ':') return stripped + '\\';
  return stripped.empty() ? path : stripped;
}

DWORD Attributes(const std::string& path) {
  return GetFileAttributesW(LongPath(EntryPath(path)).c_str());
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (Valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, DWORD code) {
  std::string message = std::string(what) + " \"" + path + "\".";
  const std::string system = SystemMessage(code);
  if (!system.empty()) message += " " + system;
  throw FileError(message);
}

// Everything left out of an enumeration unless the caller accepts it.
constexpr uint32_t kFilteredAttributes = kAttrHidden | kAttrSystem | kAttrDirectory;

}  // namespace

bool EnumerateFolder(const std::string& dir, const std::string& pattern, uint32_t accepted,
                     const std::function<bool(const DirEntry&)>& visit, std::string* error) {
  if (pattern.empty()) return true;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(LongPath(dir + pattern).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // An existing folder with no matching entry is no failure.
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) {
      if (dir.empty() || DirectoryExists(dir)) return true;
    }
    if (error != nullptr) *error = SystemMessage(code);
    return false;
  }
  const uint32_t excluded = ~accepted & kFilteredAttributes;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((data.dwFileAttributes & excluded) != 0) continue;
    DirEntry entry;
    entry.name = Narrow(name);
    entry.attributes = data.dwFileAttributes;
    if (!visit(entry)) break;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

std::string FolderIdentity(const std::string& dir) {
  // Backup semantics opens a folder; a junction or link is followed to its target, so two
  // names of one folder give one identity.
  Handle h(CreateFileW(LongPath(EntryPath(dir)).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.Valid()) return std::string();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h.Get(), &info)) return std::string();
  char key[40];
  std::snprintf(key, sizeof key, "%08lx:%08lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  return key;
}

bool FileExists(const std::string& path) {
  if (path.empty() || IsDelimiter(path.back())) return false;
  const DWORD attr = Attributes(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attr = Attributes(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::string& dir, std::string* error) {
  const std::string path = StripTrailingDelimiters(dir);
  if (path.empty()) {
    if (error != nullptr) *error = SystemMessage(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (DirectoryExists(path)) return true;
  const auto cut = path.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0) {
    const std::string parent = path.substr(0, cut);
    // A drive ("C:") or a server name ("\\server") ends the climb.
    const bool top = (parent.size() == 2 && parent[1] == ':') ||
                     parent.find_first_not_of("\\/") == std::string::npos;
    if (!top && !ForceDirectories(parent, error)) return false;
  }
  const BOOL made = CreateDirectoryW(LongPath(path).c_str(), nullptr);
  const DWORD code = made ? ERROR_DIRECTORY : GetLastError();
  // Another thread may have created it meanwhile; only the outcome counts.
  if (DirectoryExists(path)) return true;
  if (error != nullptr)
    *error = SystemMessage(code == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : code);
  return false;
}

bool CopyFileTo(const std::string& from, const std::string& to, bool replace, std::string* error) {
  if (CopyFileW(LongPath(from).c_str(), LongPath(to).c_str(), replace ? FALSE : TRUE)) {
    return true;
  }
  if (error != nullptr) *error = SystemMessage(GetLastError());
  return false;
}

bool MoveFileTo(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileW(LongPath(from).c_str(), LongPath(to).c_str())) return true;
  if (error != nullptr) *error = SystemMessage(GetLastError());
  return false;
}

bool DeleteFileAt(const std::string& path) {
  if (path.empty()) return false;
  return DeleteFileW(LongPath(path).c_str()) != FALSE;
}

bool ClearReadOnly(const std::string& path) {
  const std::wstring w = LongPath(EntryPath(path));
  const DWORD attr = GetFileAttributesW(w.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return false;
  if ((attr & FILE_ATTRIBUTE_READONLY) == 0) return true;
  return SetFileAttributesW(w.c_str(), attr & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) !=
         FALSE;
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() ||
      !GetFileAttributesExW(LongPath(EntryPath(path)).c_str(), GetFileExInfoStandard, &data)) {
    return -1;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                              data.nFileSizeLow);
}

FileInfo Inspect(const std::string& path) {
  FileInfo info;
  if (path.empty()) return info;
  const std::wstring w = LongPath(EntryPath(path));
  const DWORD attr = GetFileAttributesW(w.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return info;
  info.exists = true;
  info.is_link = (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // Opening for attributes only never blocks and follows a link to what it names.
  Handle h(CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION data;
  if (!h.Valid() || !GetFileInformationByHandle(h.Get(), &data)) {
    if (info.is_link)
      info.kind = "a link that leads nowhere";
    else
      info.is_regular = (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return info;
  }
  char key[40];
  std::snprintf(key, sizeof key, "%08lx:%08lx%08lx",
                static_cast<unsigned long>(data.dwVolumeSerialNumber),
                static_cast<unsigned long>(data.nFileIndexHigh),
                static_cast<unsigned long>(data.nFileIndexLow));
  info.identity = key;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info.kind = "a folder";
  } else if (GetFileType(h.Get()) != FILE_TYPE_DISK) {
    info.kind = "a device";
  } else {
    info.is_regular = true;
  }
  return info;
}

std::string RealPath(const std::string& path) {
  Handle h(CreateFileW(LongPath(EntryPath(path)).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.Valid()) return std::string();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleW(h.Get(), &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n + 1);
  }
  if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    buffer.replace(0, 8, L"\\\\");
  } else if (buffer.rfind(L"\\\\?\\", 0) == 0) {
    buffer.erase(0, 4);
  }
  return Narrow(buffer);
}

std::string RandomToken(size_t length) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  while (out.size() < length) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) throw FileError("No random source for a temporary name");
    out += kAlphabet[value % (sizeof kAlphabet - 1)];
  }
  return out;
}

std::string CreatePrivateFolder(const std::string& parent, const std::string& prefix,
                                std::string* error) {
  const std::string name = prefix[0] == '.' ? prefix : "." + prefix;
  DWORD code = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string dir = parent + name + RandomToken();
    const std::wstring w = LongPath(dir);
    if (CreateDirectoryW(w.c_str(), nullptr)) {
      SetFileAttributesW(w.c_str(), FILE_ATTRIBUTE_HIDDEN);
      return dir + "\\";
    }
    code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) break;
  }
  if (error != nullptr) *error = SystemMessage(code);
  return std::string();
}

bool RemoveFolder(const std::string& dir) {
  const std::string path = StripTrailingDelimiters(dir);
  return !path.empty() && RemoveDirectoryW(LongPath(path).c_str()) != FALSE;
}

bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(), flags)) return true;
  if (error != nullptr) *error = SystemMessage(GetLastError());
  return false;
}

bool CopyPermissions(const std::string& from, const std::string& to, std::string* error) {
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::wstring wfrom = LongPath(from), wto = LongPath(to);
  DWORD code = GetNamedSecurityInfoW(
      wfrom.c_str(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
      &group, &dacl, nullptr, &sd);
  if (code != ERROR_SUCCESS) {
    if (error != nullptr) *error = SystemMessage(code);
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  // A list that inherits from the folder goes on inheriting; a protected one stays protected.
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  code = SetNamedSecurityInfoW(&wto[0], SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr);
  if (code == ERROR_SUCCESS) {
    // Another owner needs a privilege most users lack; the access list is what decides who
    // may open the file, so the owner is given where the system allows.
    SetNamedSecurityInfoW(&wto[0], SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, owner, group,
                          nullptr, nullptr);
  }
  LocalFree(sd);
  if (code != ERROR_SUCCESS) {
    if (error != nullptr) *error = SystemMessage(code);
    return false;
  }
  return true;
}

bool LimitPermissions(const std::string& to, const std::string& model, std::string* error) {
  return true;
}

bool GetTimes(const std::string& path, FileTimes& times) {
  if (path.empty()) return false;
  // The attribute query reads the directory entry, like a search for the path itself, but a
  // "*" or "?" in the path can never make it report another file.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(LongPath(EntryPath(path)).c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  times.creation = FromFileTime(data.ftCreationTime);
  times.last_access = FromFileTime(data.ftLastAccessTime);
  times.last_write = FromFileTime(data.ftLastWriteTime);
  return true;
}

bool BirthTime(const std::string& path, int64_t& filetime) {
  FileTimes times;
  if (!GetTimes(path, times)) return false;
  filetime = times.creation;
  return true;
}

bool CopyTimes(const std::string& from, const std::string& to) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  // Attribute access is all the times need; it also works on a read-only target.
  Handle source(CreateFileW(LongPath(from).c_str(), FILE_READ_ATTRIBUTES, kShare, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!source.Valid()) return false;
  Handle target(CreateFileW(LongPath(to).c_str(), FILE_WRITE_ATTRIBUTES, kShare, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!target.Valid()) return false;
  FILETIME creation, access, write;
  if (!GetFileTime(source.Get(), &creation, &access, &write)) return false;
  return SetFileTime(target.Get(), &creation, &access, &write) != FALSE;
}

int64_t ToLocalTime(int64_t utc_filetime) {
  const FILETIME utc = ToFileTime(utc_filetime);
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) return utc_filetime;
  return FromFileTime(local);
}

bool ToDosDateTime(int64_t filetime, uint32_t& dos) {
  // Checked here as well: not every implementation of the call refuses years after 2107.
  constexpr int64_t k1980 = 119600064000000000LL;  // 1980-01-01 00:00:00
  constexpr int64_t k2108 = 159992928000000000LL;  // 2108-01-01 00:00:00
  if (filetime < k1980 || filetime >= k2108) return false;
  const FILETIME ft = ToFileTime(filetime);
  WORD date = 0;
  WORD time = 0;
  if (!FileTimeToDosDateTime(&ft, &date, &time)) return false;
  dos = (static_cast<uint32_t>(date) << 16) | time;
  return true;
}

std::string ReadAll(const std::string& path, int64_t max_bytes) {
  Handle h(CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.Valid()) ThrowFileError("Cannot open file", path, GetLastError());
  auto refuse = [&](const std::string& why) {
    throw FileError("Cannot read file \"" + path + "\". " + why);
  };
  // A pipe, the console or another device answers a read by waiting or without end.
  if (GetFileType(h.Get()) != FILE_TYPE_DISK) refuse("It is not a regular file.");
  LARGE_INTEGER size;
  if (GetFileSizeEx(h.Get(), &size) && size.QuadPart > max_bytes) {
    refuse("The file is too large (" + std::to_string(size.QuadPart) + " bytes).");
  }
  std::string bytes;
  char chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h.Get(), chunk, sizeof chunk, &got, nullptr)) {
      ThrowFileError("Cannot read file", path, GetLastError());
    }
    if (got == 0) break;
    if (static_cast<int64_t>(bytes.size()) + got > max_bytes) {
      refuse("The file is too large (more than " + std::to_string(max_bytes) + " bytes).");
    }
    bytes.append(chunk, got);
  }
  return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes, bool append) {
  Handle h(CreateFileW(LongPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.Valid()) ThrowFileError("Cannot create file", path, GetLastError());
  if (append) {
    if (SetFilePointer(h.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
      ThrowFileError("Cannot write file", path, GetLastError());
    }
  } else if (!SetEndOfFile(h.Get())) {
    ThrowFileError("Cannot write file", path, GetLastError());
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD wrote = 0;
    if (!WriteFile(h.Get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0) {
      ThrowFileError("Cannot write file", path, GetLastError());
    }
    done += wrote;
  }
}

void WriteAtomically(const std::string& path, const std::string& bytes) {
  const DWORD attr = Attributes(path);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw FileError("Cannot replace file \"" + path + "\". It is not a regular file.");
  }
  std::random_device random;
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".~%08x%08x", random(), random());
    temp = LongPath(path + suffix);
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) ThrowFileError("Cannot create file", path, GetLastError());
  DWORD code = NO_ERROR;
  {
    Handle file(h);
    size_t done = 0;
    while (code == NO_ERROR && done < bytes.size()) {
      const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
      DWORD wrote = 0;
      if (!WriteFile(file.Get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0) {
        code = GetLastError();
      }
      done += wrote;
    }
    if (code == NO_ERROR && !FlushFileBuffers(file.Get())) code = GetLastError();
  }
  // An existing file keeps its security descriptor: ReplaceFileW carries it over.
  if (code == NO_ERROR && attr != INVALID_FILE_ATTRIBUTES) {
    if (!ReplaceFileW(LongPath(path).c_str(), temp.c_str(), nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      code = GetLastError();
    }
  } else if (code == NO_ERROR &&
             !MoveFileExW(temp.c_str(), LongPath(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
  }
  if (code != NO_ERROR) {
    DeleteFileW(temp.c_str());
    ThrowFileError("Cannot write file", path, code);
  }
}

FileLock::FileLock(const std::string& path, int wait_ms) {
  // The mutex is named after the path in capitals (Windows names ignore letter case);
  // backslashes cannot stand in a kernel object's name.
  std::wstring name = L"Local\\orvelle-lock-";
  std::wstring full = Widen(path);
  std::wstring buffer(32768, L'\0');
  const DWORD n =
      GetFullPathNameW(full.c_str(), static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
  if (n > 0 && n < buffer.size()) full.assign(buffer.data(), n);
  CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
  for (wchar_t c : full) name += c == L'\\' ? L'/' : c;
  if (name.size() > 250) name.resize(250);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return;
  handle_ = mutex;
  const DWORD got = WaitForSingleObject(mutex, static_cast<DWORD>(wait_ms));
  // An abandoned mutex (its holder died) is ours now all the same.
  held_ = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
}

FileLock::~FileLock() {
  if (handle_ == nullptr) return;
  if (held_) ReleaseMutex(static_cast<HANDLE>(handle_));
  CloseHandle(static_cast<HANDLE>(handle_));
}

std::string ProgramPath(const char* argv0) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return argv0 != nullptr ? std::string(argv0) : std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      // The module name may carry the long-path prefix; the product's paths never do.
      if (buffer.rfind(L"\\\\?\\", 0) == 0 && buffer.rfind(L"\\\\?\\UNC\\", 0) != 0) {
        buffer.erase(0, 4);
      }
      return Narrow(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace orvelle::fs
