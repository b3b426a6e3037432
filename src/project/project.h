// The one batch project of the process: the option list with one typed reader per option,
// the current project file, the recent projects, the command line, the control binding and
// the application descriptor. All changes happen on the main thread; readers may be called
// from any thread (the option list is safe for that).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "project/option_list.h"
#include "project/prop_list.h"
#include "project/types.h"

namespace orvelle {

enum class TkxOverwrite { No, Yes, Skip };

class TkxProject {
 public:
  // `exe_path` and `first_arg` come from the application object.
  TkxProject(std::string exe_path, std::string first_arg);
  // Releases the control accessors and writes the recent-project list (failures ignored).
  ~TkxProject();
  TkxProject(const TkxProject&) = delete;
  TkxProject& operator=(const TkxProject&) = delete;

  // --- Application descriptor (filled once at start-up, read-only afterwards) ---
  TkxWorkClass JobClass = nullptr;
  std::string DefaultMask;
  std::string SourceFilter;
  std::string TargetExt;
  std::string AltExt;
  std::string MacroExt;
  std::string ShortName;
  std::string ProjectExt;
  std::string ProjectFilter;
  std::string Title;
  std::string Version;
  bool OverwriteDefault = true;
  bool TargetFollowsSource = true;
  char TargetDelimiter = '\\';  // start-up sets the platform delimiter

  // --- Option list ---
  TkxOptionList& Options() { return options_; }
  const TkxOptionList& Options() const { return options_; }

  // --- Typed readers: each reads the list afresh ---
  std::string Source() const;
  std::string Target() const;
  std::string RenameSource() const;
  bool Subdir() const;
  bool KeepFileTime() const;
  bool DeleteSource() const;
  bool MacroEnabled() const;
  bool PureConsole() const;
  bool KeepTargetSubdirs() const;
  int ThreadsCount() const;
  int Daemon() const;
  TkxOverwrite IsOverwrite() const;
  bool RunAndClose() const;
  std::string GetOption(const std::string& name) const;
  // "Target" with the delimiter appended; a missing local folder is created first
  // (PrepareTargetFolder), the reason it could not be in `error` when given. A "file:"
  // address is read as the local path it names; another address ("http://") is returned as
  // it stands and nothing is created for it. Empty when "Target" names no folder.
  std::string TargetFolder(std::string* error = nullptr) const;
  std::string RecentListPath() const;
  // The program's path with its extension replaced by ProjectExt.
  std::string DefaultProjectPath() const;

  // --- Project state (main thread) ---
  std::string ProjectFile;
  std::vector<std::string> RecentProjects;
  std::string CommandOptions;
  // Why the last project file opened could not be loaded; empty when it loaded.
  std::string LoadError;
  const std::string& ExePath() const { return exe_path_; }
  const std::string& FirstArg() const { return first_arg_; }

  // Opens the install ("ins") or uninstall ("uni") notice with its extra query text; start-up
  // points it at the product information. Nothing happens while it is empty.
  std::function<void(const std::string& param, const std::string& extra)> OnNotice;

  // What ParseCommandLine asks the caller to do.
  enum class CommandLineResult { Continue, ExitAfterNotice };
  CommandLineResult ParseCommandLine();
  void OpenInitial();
  void OpenProject(bool file_known);
  void NewProject();
  void SaveProject();
  void SaveProjectAs();
  void BindControl(TkxControl* control);
  void ReleaseControls();
  void ReadControls();
  void WriteControls();
  void StoreControls(bool write_file);
  bool IsProjectFileName(const std::string& path) const;
  void AddRecent();

 private:
  struct Binding;
  TkxOptionList options_;
  std::string exe_path_;
  std::string first_arg_;
  std::vector<std::unique_ptr<Binding>> bound_;
  std::vector<std::string> recent_loaded_;  // as read at construction, to skip needless writes
};

// Makes `folder` ready to receive files: with `delimiter` the platform's own, a missing local
// folder (not an address such as "http://") is created, and `delimiter` ends the name.
// False, with the reason in `error` when given, when the folder cannot be created; the name
// gets its delimiter either way. An empty name stays empty.
bool PrepareTargetFolder(std::string& folder, char delimiter, std::string* error = nullptr);

// The process's project; null while it does not exist (start-up owns it).
extern TkxProject* kxProject;

}  // namespace orvelle
