#include "platform/file_utils.h"

#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace orvelle {

int32_t TkxFileUtils::GetFileDosTime(const std::string& path, bool creation, bool keep_utc) {
  fs::FileTimes times;
  if (path.empty() || !fs::GetTimes(path, times)) return -1;
  int64_t when = creation ? times.creation : times.last_write;
  if (!keep_utc) when = fs::ToLocalTime(when);
  uint32_t dos = 0;
  if (!fs::ToDosDateTime(when, dos)) return -1;
  return static_cast<int32_t>(dos);
}

std::string TkxFileUtils::ReadFileText(const std::string& path, int bytes_per_char,
                                       int64_t max_bytes) {
  std::string bytes = fs::ReadAll(path, max_bytes);
  if (bytes_per_char > 1) bytes.resize(bytes.size() / bytes_per_char * bytes_per_char);
  return bytes;
}

void TkxFileUtils::WriteFileText(const std::string& path, const std::string& text,
                                 int bytes_per_char, bool append) {
  const std::string folder = ExtractFilePath(path);
  if (!folder.empty() && !fs::DirectoryExists(folder)) fs::ForceDirectories(folder);
  std::string bytes = text;
  if (bytes_per_char > 1) bytes.resize(bytes.size() / bytes_per_char * bytes_per_char);
  fs::WriteAll(path, bytes, append);
}

std::string BrowseForFolder(const std::string& folder) { return Dialogs().BrowseForFolder(folder); }

bool SelectOpenFiles(const std::string& filter, std::string& current, bool multiple) {
  // The dialog works on a copy so that a cancel never leaves the "*" substitution behind.
  std::string name = current;
  for (char& c : name) {
    if (c == '?') c = '*';
  }
  if (!Dialogs().SelectOpenFiles(filter, name, multiple)) return false;
  current = name;
  return true;
}

bool SelectSaveFile(const std::string& filter, const std::string& default_ext,
                    std::string& current) {
  std::string name = current;
  if (!Dialogs().SelectSaveFile(filter, default_ext, name)) return false;
  current = name;
  return true;
}

}  // namespace orvelle
