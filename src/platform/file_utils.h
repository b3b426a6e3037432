// File and folder utilities shared by the project, the windows and the product information:
// whole-file text, DOS file times, and the folder, open-file and save-file choosers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fs.h"

namespace orvelle {

// Stateless; every operation is a class operation. "Text" here is the file's characters as
// raw bytes, `bytes_per_char` bytes each, with no mark handling and no code-page conversion.
class TkxFileUtils {
 public:
  TkxFileUtils() = delete;

  // DOS date-time (date high, time low) of a file or folder, the creation time when
  // `creation`, else the last-write time; converted to local time unless `keep_utc`.
  // -1 when the path cannot be found or the time has no DOS form (outside 1980..2107).
  static int32_t GetFileDosTime(const std::string& path, bool creation, bool keep_utc);

  // The whole file cut to whole characters (an odd byte left over is dropped). Throws
  // fs::FileError when the file cannot be read, is not a regular file or holds more than
  // `max_bytes`.
  static std::string ReadFileText(const std::string& path, int bytes_per_char,
                                  int64_t max_bytes = fs::kDefaultReadLimit);

  // Writes `text` (whole characters) to `path`, creating missing folders first (a failure
  // there is ignored), appending or replacing. Throws fs::FileError when the write fails.
  static void WriteFileText(const std::string& path, const std::string& text, int bytes_per_char,
                            bool append);
};

// The choosers, main thread only, answered by the process's DialogService.
// The chosen folder, or `folder` unchanged when the user cancels.
std::string BrowseForFolder(const std::string& folder);
// Opens with `current` as the initial name (every "?" shown as "*"). On confirmation
// `current` holds the choice (with `multiple`, each path followed by CR LF) and the result is
// true; on cancel `current` is left exactly as it was.
bool SelectOpenFiles(const std::string& filter, std::string& current, bool multiple);
// On confirmation `current` holds the chosen path; `default_ext` (with its point) is added to
// a name typed without one.
bool SelectSaveFile(const std::string& filter, const std::string& default_ext,
                    std::string& current);

}  // namespace orvelle
