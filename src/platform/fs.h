// File-system seam: everything the framework asks of the file system goes through here, so
// that the POSIX and Win32 builds differ only in fs_posix.cpp / fs_win32.cpp.
// All paths are UTF-8 text; the Win32 implementation converts to UTF-16 at each call.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace orvelle::fs {

// Attribute bits, with the Windows values on every platform. POSIX reports "hidden" for a
// name that starts with a dot, "read-only" for a file its owner cannot write, "directory"
// for folders (a link to a folder counts as a folder) and "archive" for everything else.
enum : uint32_t {
  kAttrReadOnly = 0x1,
  kAttrHidden = 0x2,
  kAttrSystem = 0x4,
  kAttrVolume = 0x8,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrDevice = 0x40,
  kAttrNormal = 0x80,
  kAttrTemporary = 0x100,
  kAttrReparsePoint = 0x400,
};

// The platform's file error: the operation, the path and the system's message.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DirEntry {
  std::string name;  // file name only, no folder
  uint32_t attributes = 0;
};

// Enumerates `dir` (a folder path ending with the delimiter) for entries whose names match
// the wildcard `pattern` ("*" any run, "?" one character; on POSIX letter case is ignored in
// every script (text::FoldCase), on Windows the file system's own rules apply). Entries carrying
// the hidden, system or directory attribute are left out unless that attribute is in `accepted`, as
// the Windows search does.
// "." and ".." are never reported. `visit` returns false to stop early. A folder that does
// not exist or cannot be read yields nothing and gives false (`error`, when not null, then
// receives the system's message); a folder without a matching entry gives true. On POSIX
// the read-only bit takes a status call per entry, so it is worked out only when `accepted`
// leaves it out (when it can decide something); otherwise it is not reported.
bool EnumerateFolder(const std::string& dir, const std::string& pattern, uint32_t accepted,
                     const std::function<bool(const DirEntry&)>& visit,
                     std::string* error = nullptr);

// A key that is equal for two paths naming the same folder (device and inode on POSIX,
// volume serial and file index on Windows); empty when the folder cannot be opened. Used to
// keep a search from looping through link or junction cycles. Works for files as well, to
// tell whether two paths name the same file.
std::string FolderIdentity(const std::string& dir);

bool FileExists(const std::string& path);       // a file (not a folder) exists
bool DirectoryExists(const std::string& path);  // a folder exists (trailing delimiter allowed)
// Creates the folder with every missing parent. True when the folder exists afterwards;
// otherwise `error` (when not null) receives the system's message.
bool ForceDirectories(const std::string& dir, std::string* error = nullptr);
// Copies, replacing an existing target when `replace`. False on failure; `error` (when not
// null) then receives the system's message.
bool CopyFileTo(const std::string& from, const std::string& to, bool replace,
                std::string* error = nullptr);
// Moves or renames a file; fails when the target exists. False on failure.
bool MoveFileTo(const std::string& from, const std::string& to, std::string* error = nullptr);
bool DeleteFileAt(const std::string& path);
// Clears the read-only attribute (POSIX: adds the owner's write permission).
bool ClearReadOnly(const std::string& path);
// Size in bytes, -1 when the file cannot be examined.
int64_t FileSize(const std::string& path);

// What a name leads to. `is_link`: the name itself is a symbolic link (Windows: a reparse
// point); everything else describes what it leads to, links followed.
struct FileInfo {
  bool exists = false;  // the name exists (a dangling link too)
  bool is_link = false;
  bool is_regular = false;  // it leads to a regular file
  // What it leads to when that is not a regular file, in words for a message: "a folder",
  // "a named pipe", "a socket", "a device", "a link that leads nowhere".
  std::string kind;
  std::string identity;  // as FolderIdentity; empty when it leads nowhere
};
// Never opens the file, so a named pipe or a device cannot block.
FileInfo Inspect(const std::string& path);
// The path with every link and "." or ".." resolved; empty when it cannot be resolved.
std::string RealPath(const std::string& path);

// Letters and digits from the system's random source, for names nobody can guess.
std::string RandomToken(size_t length = 12);
// Creates a new folder `prefix` + RandomToken() inside `parent` (which ends with the
// delimiter) that no other user can enter (POSIX 0700) and that searches leave out (hidden:
// the name starts with a point, and Windows gets the hidden attribute). Never reuses an
// existing name. Returns the folder with its trailing delimiter, or empty with `error`.
std::string CreatePrivateFolder(const std::string& parent, const std::string& prefix,
                                std::string* error);
// Removes an empty folder.
bool RemoveFolder(const std::string& dir);
// Renames `from` to `to` in one step and makes the new name durable: `replace` replaces a file
// at `to` (POSIX rename, Windows MoveFileEx with MOVEFILE_REPLACE_EXISTING); without it the
// call fails when anything exists at `to`. False with the system's text in `error`.
bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error);
// Gives `to` the permissions of `from`: POSIX owner, group and mode; Windows the security
// descriptor's owner, group and access list (owner and group where the system allows). False
// with the reason when the permissions could not all be applied.
bool CopyPermissions(const std::string& from, const std::string& to, std::string* error);
// POSIX: takes away from `to` every permission bit that `model` lacks, except its owner's
// write bit, so that a copy is never readable by more people than its original. Windows: a new
// file keeps the access list its folder gives it; nothing changes.
bool LimitPermissions(const std::string& to, const std::string& model, std::string* error);

// File times in Windows FILETIME units (100 ns since 1601-01-01 UTC).
struct FileTimes {
  int64_t creation = 0;
  int64_t last_access = 0;
  int64_t last_write = 0;
};
// Times of a file or folder as its directory entry gives them (the path without a trailing
// delimiter). POSIX has no creation time: the status-change time stands in for it.
bool GetTimes(const std::string& path, FileTimes& times);
// When the file or folder came into being (FILETIME units, UTC), from the system's birth
// time: Windows' creation time, statx's on Linux. False where the system or file system keeps
// none; unlike GetTimes, never a stand-in that moves later.
bool BirthTime(const std::string& path, int64_t& filetime);
// Opens both files shared for reading and writing and copies all three times unchanged.
bool CopyTimes(const std::string& from, const std::string& to);
// UTC to local time (FileTimeToLocalFileTime).
int64_t ToLocalTime(int64_t utc_filetime);
// FILETIME to DOS date-time (date in the high 16 bits, time in the low 16 bits); false when
// the time lies outside 1980..2107.
bool ToDosDateTime(int64_t filetime, uint32_t& dos);

// The most ReadAll takes unless its caller asks for less or more.
inline constexpr int64_t kDefaultReadLimit = int64_t{64} << 20;

// Whole-file access; both throw FileError with the system's message.
// ReadAll reads regular files only: a folder, a FIFO, a device or a socket is refused
// without being read (and a FIFO without blocking), and so is a file that holds more than
// `max_bytes`, counted as they are read, whatever its size was reported to be.
std::string ReadAll(const std::string& path, int64_t max_bytes = kDefaultReadLimit);
// Creates or truncates (or appends to) the file and writes the bytes. Opens the file shared
// for reading and writing by others.
void WriteAll(const std::string& path, const std::string& bytes, bool append = false);
// Replaces the file's content in one step: the bytes go to a new file beside it, created
// exclusively under a name nobody can predict, which is flushed and then renamed over the
// file, so a reader sees the old content or the new, never a part. An existing file keeps
// its permissions (and, on POSIX, owner and group where allowed); a new one is its owner's
// alone on POSIX. One that is not a regular file is refused and left alone. Throws
// FileError; nothing is left behind on failure.
void WriteAtomically(const std::string& path, const std::string& bytes);

// Serialises the processes that lock the same file name, for as long as the object lives:
// POSIX an flock on the folder that holds the file (so the file itself may be replaced by
// rename meanwhile), Windows a named mutex made from the full path. Waits at most
// `wait_ms`; Held() is false when the lock could not be had, and the caller then goes on
// unprotected rather than hang behind a stuck process.
class FileLock {
 public:
  explicit FileLock(const std::string& path, int wait_ms = 5000);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return held_; }

 private:
  [[maybe_unused]] void* handle_ = nullptr;  // Windows: the mutex
  [[maybe_unused]] int fd_ = -1;             // POSIX: the folder
  bool held_ = false;
};

// Full path of the running program (argv[0] resolved).
std::string ProgramPath(const char* argv0);

}  // namespace orvelle::fs
