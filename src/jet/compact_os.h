// The operating-system part of compaction: lock files, exclusive creation of the output,
// durable writes and publishing a file without replacing another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvelle::jet {

// True when the lock file exists and another process, or another open file description, holds
// it open or locked. A lock file nobody holds (left by a crash) gives false. `who` receives a
// short description of the holder when one is known.
bool LockFileHeld(const std::string& path, std::string* who);

// A file this process creates for writing. Create fails when anything exists at the name, a
// link included (POSIX O_CREAT|O_EXCL|O_NOFOLLOW, Windows CREATE_NEW), so a name planted by
// someone else is never written through. Closed on destruction. One thread at a time.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // False with the system's text in `error`.
  bool Create(const std::string& path, std::string* error);
  bool Write(const char* data, size_t size, std::string* error);
  // At an offset from the start, leaving the position of Write alone (POSIX) or not (Windows):
  // a file is written either way, not both.
  bool WriteAt(uint64_t offset, const char* data, size_t size, std::string* error);
  // Asks the system to start writing what was written so far to the disk, without waiting, so
  // that the flush before publishing has less left to do (Linux; elsewhere nothing).
  void StartWriteback();
  // Reports a failing close (delayed write errors show up there).
  bool Close(std::string* error);

 private:
  intptr_t handle_ = -1;
};

// Holds a database's lock file (".ldb", ".laccdb") the way Access does while it has the
// database open exclusively: open with no sharing on Windows, open and write-locked on POSIX,
// so that Access, another compactor and LockFileHeld all see the database in use. A lock file
// that is missing is created, with one 64-byte entry (computer name, user "Orvelle"), and
// removed again on release; one that exists is left in place, unless it holds just such an
// entry (left by an Orvelle run that was killed). Movable no; one thread at a time.
class LockFileHold {
 public:
  LockFileHold() = default;
  ~LockFileHold();
  LockFileHold(const LockFileHold&) = delete;
  LockFileHold& operator=(const LockFileHold&) = delete;

  // Takes the lock file at `path`. False when another program holds it, with `who` as
  // LockFileHeld gives it. True without holding anything when the lock file is missing and
  // cannot be created (a read-only folder, where nobody else can create it either).
  bool Acquire(const std::string& path, std::string* who);
  // Releases now; removes the file when it was created by this program.
  void Release();
  bool Holding() const { return handle_ != -1; }

 private:
  intptr_t handle_ = -1;
  std::string path_;
  std::string identity_;  // of the file held (POSIX), to remove only that file
  bool remove_ = false;
};

// True while a LockFileHold of this process holds `path` (spelled as it was acquired).
// Thread-safe.
bool LockFileHeldHere(const std::string& path);

// For the implementations: the record of what LockFileHeldHere answers (compact_os.cpp), and
// the system's name of this computer.
void NoteHeldHere(const std::string& path, bool held);
std::string ComputerName();

// The 64-byte entry a held lock file gets: the computer name and the user name, each in 32
// bytes padded with zeros, as Access writes them.
std::string LockFileEntry();

// Forces the file's contents to the disk; false with the system's text in error on failure.
bool SyncFile(const std::string& path, std::string* error);

// Renames from to to only if to does not exist, and makes the new name durable where the
// system allows; false with the system's text otherwise.
bool RenameNoReplace(const std::string& from, const std::string& to, std::string* error);

bool PathExists(const std::string& path);
bool RemoveFile(const std::string& path);

}  // namespace orvelle::jet
