// Product information and links: usage counters kept between starts in a scrambled state
// file, the product's outside links, the end-of-run report and the exception hook.
// Used from the main (user-interface) thread only. Runs side by side share the state file:
// each change is made under a lock (fs::FileLock) to what the file holds at that moment,
// and the file is replaced whole (fs::WriteAtomically).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "project/types.h"

namespace orvelle {

// The product's web site (no trailing delimiter) and support address.
inline constexpr const char* kWebSite = "https://www.orvelle.example";
inline constexpr const char* kSupportMail = "support@orvelle.example";

class TkxInfo {
 public:
  // `exe_path` is the program's full path; the state file and help document lie beside it.
  // Reads the state, counts a start ("R"); never fails (an unwritable folder is fine).
  explicit TkxInfo(std::string exe_path);
  ~TkxInfo();  // saves the state once more
  TkxInfo(const TkxInfo&) = delete;
  TkxInfo& operator=(const TkxInfo&) = delete;

  void AddCount(const std::string& name, int64_t amount);
  void OpenLink(const std::string& kind, const std::string& param, const std::string& extra);
  // The application-wide exception hook: counts "E" and opens an error report.
  void ReportException(const std::string& message);
  // End-of-run report for a finished batch: counters "A", "S", "F" and, when files failed,
  // the error report.
  void ReportRun(TkxBatch& batch);

  bool IsQuiet() const;  // state entry "+", or the environment variable ORVELLE_QUIET
  std::string StateFileName() const;
  std::string CounterText() const;
  std::string GetState(const std::string& name) const;
  int32_t InstallNo() const { return install_no_; }
  // The installation number a program folder gives at the first start: its birth time as a
  // DOS date-time, in UTC or local time (where the system keeps none, its stand-in creation
  // time); -1 when the folder cannot be examined or the time has no DOS form. The number is
  // then kept in the state file, so later changes to the folder never change it.
  static int32_t FolderInstallNo(const std::string& folder, bool keep_utc);
  // A state file larger than this is not a state file.
  static constexpr int64_t kMaxStateBytes = 1 << 20;

  // The state file's content for `lines` under `key`, and back. Unscrambling with any other
  // key, or a damaged text, gives false and no lines.
  static std::string ScrambleState(const std::vector<std::string>& lines, int32_t key);
  static bool UnscrambleState(const std::string& stored, int32_t key,
                              std::vector<std::string>& lines);
  // The whole state file as written: the key on a line of its own, then ScrambleState.
  // UnscrambleState reads both forms; StoredKey gives the key a file names (false: none).
  static std::string StoredState(const std::vector<std::string>& lines, int32_t key);
  static bool StoredKey(const std::string& stored, int32_t& key);

  static void AddQueryParam(std::string& query, const std::string& key, const std::string& value);
  // The report parameter for a failure list: "err&e=" and the texts comma-separated (quoted
  // where needed), "?" as "%3F" and bytes outside printable ASCII percent-encoded.
  static std::string ErrorReportText(const std::vector<std::string>& errors);

 private:
  // The file's entries under the first key that reads them; false (and no lines) when none.
  // `kept_key` (when not null) receives the key a file names for itself.
  bool ReadStateFile(std::vector<std::string>& lines, std::optional<int32_t>* kept_key) const;
  void LoadState();
  void ReloadState();
  void SaveState();
  void SetState(const std::string& name, const std::string& value);
  std::string exe_path_;
  int32_t install_no_ = -1;
  int32_t install_no_local_ = -1;
  int32_t legacy_keys_[2] = {-1, -1};  // the status-change time, UTC and local, of old files
  std::vector<std::string> state_;     // name=value lines
};

// The process's product information; null while it does not exist (start-up owns it).
extern TkxInfo* kxInfo;

}  // namespace orvelle
