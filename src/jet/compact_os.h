// The operating-system part of compaction: lock files, durable writes and publishing a file
// without replacing another.
#pragma once

#include <string>

namespace orvelle::jet {

// True when the lock file exists and another process, or another open file description, holds
// it open or locked. A lock file nobody holds (left by a crash) gives false. `who` receives a
// short description of the holder when one is known.
bool LockFileHeld(const std::string& path, std::string* who);

// Forces the file's contents to the disk; false with the system's text in error on failure.
bool SyncFile(const std::string& path, std::string* error);

// Renames from to to only if to does not exist, and makes the new name durable where the
// system allows; false with the system's text otherwise.
bool RenameNoReplace(const std::string& from, const std::string& to, std::string* error);

bool PathExists(const std::string& path);
bool RemoveFile(const std::string& path);

}  // namespace orvelle::jet
