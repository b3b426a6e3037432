#include "project/project.h"

#include <algorithm>

#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "project/file_address.h"
#include "project/option_names.h"

namespace orvelle {

TkxProject* kxProject = nullptr;

struct TkxProject::Binding {
  TkxControl* control = nullptr;          // not owned
  std::unique_ptr<TkxPropList> accessor;  // created on first use
};

namespace {

// The option a control stands for: its name without the kind prefix ("eSource" -> "Source").
std::string OptionNameOf(const TkxControl& control) {
  const std::string name = control.Name();
  size_t first = name.empty() ? 0 : 1;
  while (first < name.size() && (static_cast<unsigned char>(name[first]) & 0xC0) == 0x80) ++first;
  return name.substr(first);
}

// Older project files stored a control's value as "eSource.Text".
std::string LegacyKeyOf(const TkxControl& control) {
  return control.Name() + "." + control.PropName();
}

size_t CharCount(const std::string& s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The "P" option text: "," and ";" both separate options, one per line.
std::string OptionLines(const std::string& text) {
  std::string lines;
  lines.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == ',' || c == ';') {
      lines += "\r\n";
    } else {
      lines += c;
    }
  }
  return lines;
}

// On POSIX an absolute path starts with "/", so only "-" can introduce a switch there.
bool IsSwitchChar(char c) { return c == '-' || (c == '/' && kPathDelim != '/'); }

}  // namespace

TkxProject::TkxProject(std::string exe_path, std::string first_arg)
    : exe_path_(std::move(exe_path)), first_arg_(std::move(first_arg)) {
  try {
    const std::string path = RecentListPath();
    if (fs::FileExists(path)) {
      TkxOptionList lines;
      lines.Load(path);
      for (auto& line : lines.Lines()) {
        if (!line.empty()) RecentProjects.push_back(line);
      }
    }
  } catch (...) {
    RecentProjects.clear();
  }
  recent_loaded_ = RecentProjects;
}

TkxProject::~TkxProject() {
  ReleaseControls();
  if (RecentProjects == recent_loaded_) return;
  try {
    std::string out;
    for (const auto& path : RecentProjects) out += path + "\r\n";
    // Replaced whole, so that a run starting meanwhile never reads half a list; a path that
    // is not a regular file is left alone.
    fs::WriteAtomically(RecentListPath(), text::Utf8ToAnsi(out));
  } catch (...) {
    // The program's folder may be read-only; the list is then simply not kept.
  }
}

// --- Readers ---

std::string TkxProject::Source() const { return options_.GetValue(option::kSource); }
std::string TkxProject::Target() const { return options_.GetValue(option::kTarget); }
std::string TkxProject::RenameSource() const { return options_.GetValue(option::kRenameSource); }
bool TkxProject::Subdir() const { return options_.GetBool(option::kSubdir, false); }
bool TkxProject::KeepFileTime() const { return options_.GetBool(option::kKeepFileTime, false); }
bool TkxProject::DeleteSource() const { return options_.GetBool(option::kDeleteSource, false); }
bool TkxProject::MacroEnabled() const { return options_.GetBool(option::kMacroEnabled, false); }
bool TkxProject::PureConsole() const { return options_.GetBool(option::kPureConsole, false); }
bool TkxProject::KeepTargetSubdirs() const {
  return options_.GetBool(option::kKeepTargetSubdirs, true);
}
int TkxProject::ThreadsCount() const { return options_.GetInt(option::kThreadsCount, 1); }
int TkxProject::Daemon() const { return options_.GetInt(option::kDaemon, 0); }

TkxOverwrite TkxProject::IsOverwrite() const {
  const std::string value = options_.GetValue(option::kIsOverwrite);
  if (text::SameTextI(value, "skip")) return TkxOverwrite::Skip;
  return TkxOptionList::ParseBool(value, OverwriteDefault) ? TkxOverwrite::Yes : TkxOverwrite::No;
}

bool TkxProject::RunAndClose() const {
  return options_.GetBool(option::kRunAndClose, false) || PureConsole() || Daemon() > 0;
}

std::string TkxProject::GetOption(const std::string& name) const { return options_.GetValue(name); }

std::string TkxProject::TargetFolder(std::string* error) const {
  // A "file:" address names a local folder, as it does in "Source"; created under its own
  // name it would leave a folder called "file:" in the working folder.
  std::string folder = FileAddressToPath(Target());
  if (!PrepareTargetFolder(folder, TargetDelimiter, error) && error && error->empty()) {
    *error = "the system gave no reason";
  }
  return folder;
}

bool PrepareTargetFolder(std::string& folder, char delimiter, std::string* error) {
  // An empty target names no folder: it stays empty rather than becoming the root.
  if (folder.empty()) return true;
  bool made = true;
  if (delimiter == kPathDelim && !IsNonLocalAddress(folder) && !fs::DirectoryExists(folder)) {
    made = fs::ForceDirectories(folder, error);
  }
  if (folder.back() != delimiter) folder += delimiter;
  return made;
}

std::string TkxProject::RecentListPath() const { return exe_path_ + ".log"; }

std::string TkxProject::DefaultProjectPath() const { return ChangeFileExt(exe_path_, ProjectExt); }

// --- Command line and project files ---

TkxProject::CommandLineResult TkxProject::ParseCommandLine() {
  const std::string& arg = first_arg_;
  if (CharCount(arg) >= 2) {
    if (IsSwitchChar(arg[0])) {
      const char key = arg[1] >= 'a' && arg[1] <= 'z' ? static_cast<char>(arg[1] - 0x20) : arg[1];
      if (key == 'I') {
        if (OnNotice) OnNotice("ins", arg.substr(2));
        return CommandLineResult::ExitAfterNotice;
      }
      if (key == 'U') {
        if (OnNotice) OnNotice("uni", "");
        return CommandLineResult::ExitAfterNotice;
      }
      if (key == 'P') {
        const size_t start = arg.size() > 2 && arg[2] == ':' ? 3 : 2;
        CommandOptions = OptionLines(arg.substr(start));
      }
    } else {
      ProjectFile = arg;
    }
  }
  OpenInitial();
  return CommandLineResult::Continue;
}

void TkxProject::OpenInitial() {
  if (ProjectFile.empty() && CommandOptions.empty()) ProjectFile = DefaultProjectPath();
  OpenProject(true);
}

void TkxProject::OpenProject(bool file_known) {
  if (!file_known) {
    std::string chosen = ProjectFile;
    if (!Dialogs().SelectOpenFiles(ProjectFilter + "|" + SourceFilter, chosen, false)) return;
    // A single selection may still come back with its line break.
    while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r')) chosen.pop_back();
    if (chosen.empty()) return;
    ProjectFile = chosen;
  }
  if (IsProjectFileName(ProjectFile)) {
    LoadError.clear();
    try {
      options_.Load(ProjectFile);
      AddRecent();
    } catch (const std::exception& e) {
      // A project that cannot be read leaves the options as they were.
      LoadError = e.what();
    }
  } else if (!CommandOptions.empty()) {
    options_.SetText(CommandOptions);
    if (TargetFollowsSource && Target().empty()) {
      options_.SetValue("Target", ExtractFilePath(Source()));
    }
    // The file is not a project (perhaps a database): a later Save must not write over it.
    ProjectFile.clear();
  } else if (!ProjectFile.empty()) {
    const std::string source = ProjectFile;
    ProjectFile.clear();
    options_.SetValue("Source", source);
    if (TargetFollowsSource && Target().empty()) {
      options_.SetValue("Target", ExtractFilePath(source));
    }
  }
  WriteControls();
}

void TkxProject::NewProject() {
  ProjectFile.clear();
  options_.Clear();
  WriteControls();
}

void TkxProject::SaveProject() {
  if (!ProjectFile.empty()) {
    StoreControls(true);
  } else {
    SaveProjectAs();
  }
}

void TkxProject::SaveProjectAs() {
  std::string chosen = ProjectFile;
  if (!Dialogs().SelectSaveFile(ProjectFilter, ProjectExt, chosen) || chosen.empty()) return;
  ProjectFile = chosen;
  StoreControls(true);
}

bool TkxProject::IsProjectFileName(const std::string& path) const {
  return !ProjectExt.empty() && path.size() >= ProjectExt.size() &&
         path.compare(path.size() - ProjectExt.size(), ProjectExt.size(), ProjectExt) == 0;
}

void TkxProject::AddRecent() {
  if (ProjectFile.empty()) return;
  for (const auto& path : RecentProjects) {
    if (text::SameTextI(path, ProjectFile)) return;
  }
  RecentProjects.insert(RecentProjects.begin(), ProjectFile);
}

// --- Control binding ---

void TkxProject::BindControl(TkxControl* control) {
  if (control == nullptr) return;
  auto binding = std::make_unique<Binding>();
  binding->control = control;
  bound_.push_back(std::move(binding));
}

void TkxProject::ReleaseControls() {
  for (auto& binding : bound_) binding->accessor.reset();
}

void TkxProject::WriteControls() {
  for (auto& binding : bound_) {
    if (!binding->accessor) binding->accessor = std::make_unique<TkxPropList>(binding->control);
    std::string value = options_.GetValue(OptionNameOf(*binding->control));
    if (value.empty()) {
      const std::string legacy = LegacyKeyOf(*binding->control);
      value = options_.GetValue(legacy);
      options_.SetValue(legacy, "");
    }
    binding->accessor->SetProp(binding->control->PropName(), value);
  }
}

void TkxProject::ReadControls() {
  for (auto& binding : bound_) {
    if (!binding->accessor) binding->accessor = std::make_unique<TkxPropList>(binding->control);
    const std::string value = binding->accessor->GetProp(binding->control->PropName());
    options_.SetValue(OptionNameOf(*binding->control), value);
  }
}

void TkxProject::StoreControls(bool write_file) {
  ReadControls();
  if (!write_file) return;
  options_.Save(ProjectFile);
  AddRecent();
}

}  // namespace orvelle
