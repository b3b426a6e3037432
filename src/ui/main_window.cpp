#include "ui/main_window.h"

#include <exception>
#include <utility>

#include "batch/batch.h"
#include "platform/file_utils.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "platform/ui_thread.h"
#include "product/exception_hook.h"
#include "product/info.h"
#include "project/option_names.h"
#include "project/project.h"
#include "ui/cfg_window.h"
#include "ui/main_texts.h"

namespace orvelle {
namespace {

// Blanks and control characters off both ends.
std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string FirstLine(const std::string& s) { return s.substr(0, s.find_first_of("\r\n")); }

}  // namespace

// An edit or the check box of the window as the project's binding sees it.
class TkxFrmMain::FieldControl : public TkxControl {
 public:
  FieldControl(TkxMainView& view, std::string name, TkxField field, bool check)
      : view_(view), name_(std::move(name)), field_(field), check_(check) {}
  std::string Name() const override { return name_; }
  std::string PropName() const override { return check_ ? "Checked" : "Text"; }
  std::vector<std::string> PropNames() const override { return {PropName()}; }
  PropKind KindOf(const std::string&) const override {
    return check_ ? PropKind::Boolean : PropKind::String;
  }
  std::string GetString(const std::string&) const override { return view_.FieldText(field_); }
  void SetString(const std::string&, const std::string& value) override {
    view_.SetFieldText(field_, value);
  }
  bool GetBool(const std::string&) const override { return view_.SubdirChecked(); }
  void SetBool(const std::string&, bool value) override { view_.SetSubdirChecked(value); }

 private:
  TkxMainView& view_;
  std::string name_;
  TkxField field_;
  bool check_;
};

TkxFrmMain::TkxFrmMain(TkxMainView& view, TkxProject& project, TkxInfo* info)
    : view_(view), project_(project), info_(info), mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->Owner = this;
}

TkxFrmMain::~TkxFrmMain() {
  mailbox_->Owner = nullptr;
  // The close is held back while a run goes (FormCloseQuery), so normally nothing runs here.
  if (Busy()) {
    if (batch_) batch_->Terminate();
    workers_.Stop();
  }
  batch_.reset();
  retired_.clear();
}

// --- Life cycle ---

void TkxFrmMain::BindControls() {
  controls_.push_back(std::make_unique<FieldControl>(view_, "eSource", TkxField::eSource, false));
  controls_.push_back(std::make_unique<FieldControl>(view_, "cSubdir", TkxField::eSource, true));
  controls_.push_back(std::make_unique<FieldControl>(view_, "eTarget", TkxField::eTarget, false));
  for (auto& control : controls_) project_.BindControl(control.get());
}

void TkxFrmMain::FormCreate() {
  BindControls();
  project_.OpenInitial();
  UpdateCaption();
}

void TkxFrmMain::FormShow() {
  if (shown_) return;
  shown_ = true;
  AutoRun();
}

bool TkxFrmMain::FormCloseQuery() {
  if (!Busy()) return true;
  close_pending_ = true;
  if (ActionEnabled(TkxAction::aStop)) aStopExecute();
  return false;
}

void TkxFrmMain::FormDestroy() {
  view_.StopRepeatTimer();
  if (!Busy()) ReleaseBatch();
  FreeRetired();
}

// --- Action state ---

void TkxFrmMain::SetEnabled(TkxAction action, bool enabled) {
  actions_[Slot(action)].Enabled = enabled;
  view_.SetActionEnabled(action, enabled);
}

void TkxFrmMain::SetButton(TkxButton button, TkxAction action) {
  (button == TkxButton::bCreate ? bCreate_action_ : bSearchConvert_action_) = action;
  view_.SetButtonAction(button, action);
}

TkxRunState TkxFrmMain::RunState() const {
  if (!Busy()) return TkxRunState::Idle;
  if (ActionTag(TkxAction::aStop) == 1) return TkxRunState::Stopping;
  if (!ActionEnabled(TkxAction::aPause)) return TkxRunState::Pausing;
  return TkxRunState::Running;
}

void TkxFrmMain::Execute(TkxAction action) {
  if (!ActionEnabled(action)) return;
  switch (action) {
    case TkxAction::aOpen:
      project_.OpenProject(false);
      UpdateCaption();
      break;
    case TkxAction::aNew:
      project_.NewProject();
      UpdateCaption();
      break;
    case TkxAction::aConfig:
      if (!cfg_) cfg_ = std::make_unique<TkxFrmCfg>(project_, info_);
      view_.ShowConfig(*cfg_);
      UpdateCaption();
      break;
    case TkxAction::aSave:
      project_.SaveProject();
      UpdateCaption();
      break;
    case TkxAction::aSaveAs:
      project_.SaveProjectAs();
      UpdateCaption();
      break;
    case TkxAction::aUpdate:
      if (info_) info_->OpenLink("download", std::string(), std::string());
      break;
    case TkxAction::aHelp:
      if (info_) {
        info_->OpenLink("h", std::string(), std::string());
        info_->AddCount("H", 1);
      }
      break;
    case TkxAction::aHomePage:
      if (info_) info_->OpenLink(std::string(), std::string(), std::string());
      break;
    case TkxAction::aSupports:
      if (info_) info_->OpenLink("supports", std::string(), std::string());
      break;
    case TkxAction::aAbout:
      view_.ShowAbout();
      break;
    case TkxAction::aSearch:
      aSearchExecute();
      break;
    case TkxAction::aConvert:
      aConvertExecute();
      break;
    case TkxAction::aSearchConvert:
      aSearchConvertExecute();
      break;
    case TkxAction::aPause:
      aPauseExecute();
      break;
    case TkxAction::aStop:
      aStopExecute();
      break;
    case TkxAction::aView:
      aViewExecute();
      break;
  }
}

// --- Shared operations ---

void TkxFrmMain::UpdateCaption() {
  view_.SetCaption(project_.Title + " - " +
                   (project_.ProjectFile.empty() ? std::string("None") : project_.ProjectFile));
}

void TkxFrmMain::SuggestTarget(const std::string& folder) {
  if (view_.FieldText(TkxField::eTarget).empty()) view_.SetFieldText(TkxField::eTarget, folder);
}

void TkxFrmMain::FocusField(TkxField field) {
  try {
    view_.FocusField(field);
  } catch (...) {
    // A field that cannot take the focus changes nothing else.
  }
}

bool TkxFrmMain::NewBatch() {
  if (Busy()) return false;
  ReleaseBatch();
  ++generation_;
  batch_ = std::make_unique<TkxBatch>();
  std::shared_ptr<Mailbox> box = mailbox_;
  const unsigned generation = generation_;
  batch_->OnAdd = [box, generation](TkxBatch*, TkxNode* node) {
    Queue(box, Notice{generation, node->Index, false});
  };
  rows_.clear();
  view_.RowsChanged(0);
  return true;
}

void TkxFrmMain::ReleaseBatch() {
  if (!batch_) return;
  ++generation_;
  if (workers_.Live() == 0) {
    batch_.reset();
    return;
  }
  // A job still finishing (its end notice may be what called us) keeps the batch alive; the
  // batch is freed from the message loop, where its destructor waits for that job.
  retired_.push_back(std::move(batch_));
  if (UiDispatcher* ui = Ui()) {
    std::weak_ptr<Mailbox> weak = mailbox_;
    ui->Post([weak] {
      auto box = weak.lock();
      if (box && box->Owner) box->Owner->FreeRetired();
    });
  }
}

void TkxFrmMain::FreeRetired() { retired_.clear(); }

// --- Source and target ---

void TkxFrmMain::bSourceClick() {
  const std::string start = ExtractFilePath(view_.FieldText(TkxField::eSource));
  std::string folder = BrowseForFolder(start);
  if (folder.empty() || folder.back() != project_.TargetDelimiter) {
    folder += project_.TargetDelimiter;
  }
  view_.SetFieldText(TkxField::eSource, folder + project_.DefaultMask);
  SuggestTarget(folder);
}

void TkxFrmMain::bSourceFileClick() {
  // The listed files would replace the batch that the jobs are working on.
  if (Busy()) return;
  std::string chosen = view_.FieldText(TkxField::eSource);
  if (!SelectOpenFiles(project_.SourceFilter, chosen, true)) return;
  chosen = Trim(chosen);
  if (chosen.find('\n') == std::string::npos) view_.SetFieldText(TkxField::eSource, chosen);
  if (!NewBatch()) return;
  size_t start = 0;
  while (start <= chosen.size()) {
    size_t end = chosen.find('\n', start);
    if (end == std::string::npos) end = chosen.size();
    const std::string piece = Trim(chosen.substr(start, end - start));
    if (!piece.empty()) ShowFileRow(piece);
    start = end + 1;
  }
}

void TkxFrmMain::bTargetClick() {
  const std::string start = view_.FieldText(TkxField::eTarget);
  std::string folder = BrowseForFolder(start);
  // A cancelled chooser on an empty field leaves it empty rather than naming the root.
  if (folder.empty()) return;
  if (folder.back() != project_.TargetDelimiter) folder += project_.TargetDelimiter;
  view_.SetFieldText(TkxField::eTarget, folder);
}

// --- Runs ---

void TkxFrmMain::aSearchExecute() { Search(true); }

void TkxFrmMain::Search(bool after_run_when_empty) {
  if (Busy()) return;
  const std::string source = view_.FieldText(TkxField::eSource);
  if (source.empty()) {
    FocusField(TkxField::eSource);
    if (after_run_when_empty) AfterRun();
    return;
  }
  if (!NewBatch()) return;
  if (source.compare(0, 4, "http") == 0) {
    ShowFileRow(source);
    return;
  }
  try {
    batch_->Setup(source, view_.FieldText(TkxField::eTarget), view_.SubdirChecked());
  } catch (...) {
    // A batch whose search never started would keep its jobs waiting for files.
    ReleaseBatch();
    throw;
  }
}

bool TkxFrmMain::CorrectTarget() {
  std::string target = view_.FieldText(TkxField::eTarget);
  auto needs_correction = [](const std::string& t) {
    if (t.find_first_of("?*") != std::string::npos) return true;
    const size_t colon = t.find(':');
    if (colon != std::string::npos && colon >= 10) return true;
    const std::string bare = ExcludeTrailingDelimiter(t);
    return !bare.empty() && fs::FileExists(bare);
  };
  while (!target.empty() && needs_correction(target)) {
    std::string up = ExtractFilePath(ExcludeTrailingDelimiter(target));
    if (up.size() >= target.size()) {
      // A drive colon ends the folder part too; cut before it so the loop always shrinks.
      const size_t pos = LastDelimiterPos(target);
      up = pos == std::string::npos ? std::string() : target.substr(0, pos);
    }
    target = up;
    view_.SetFieldText(TkxField::eTarget, target);
  }
  return !target.empty();
}

void TkxFrmMain::aConvertExecute() {
  if (Busy()) return;
  view_.StopRepeatTimer();
  if (view_.FieldText(TkxField::eTarget).empty() || !CorrectTarget()) {
    FocusField(TkxField::eTarget);
    AfterRun();
    return;
  }
  const std::string typed = view_.FieldText(TkxField::eTarget);
  std::string target = typed;
  PrepareTargetFolder(target, project_.TargetDelimiter);  // a failure shows per file
  if (target != typed) view_.SetFieldText(TkxField::eTarget, target);
  project_.StoreControls(false);

  if (!batch_) Search(false);
  if (batch_ && batch_->IsExhausted()) {
    // A finished list is searched afresh; with no source the old results stay as they are.
    if (view_.FieldText(TkxField::eSource).empty()) {
      FocusField(TkxField::eSource);
      AfterRun();
      return;
    }
    Search(false);
  }
  if (!batch_) {
    AfterRun();
    return;
  }

  SetEnabled(TkxAction::aConvert, false);
  SetEnabled(TkxAction::aSearchConvert, false);
  SetEnabled(TkxAction::aSearch, false);
  std::shared_ptr<Mailbox> box = mailbox_;
  const unsigned generation = generation_;
  try {
    workers_ =
        TkxConvertor::CreateJobs(batch_.get(), target, [box, generation](TkxBatch*, TkxNode* node) {
          Queue(box, Notice{generation, node->Index, true});
        });
  } catch (...) {
    SetEnabled(TkxAction::aConvert, true);
    SetEnabled(TkxAction::aSearchConvert, true);
    SetEnabled(TkxAction::aSearch, true);
    throw;
  }
  workers_left_ = workers_.JobCount();
  std::weak_ptr<Mailbox> weak = mailbox_;
  workers_.SetOnFinish([weak] {
    auto owner_box = weak.lock();
    if (!owner_box || !owner_box->Owner) return;
    TkxFrmMain* owner = owner_box->Owner;
    // Nothing may travel back into the job that waits for this call.
    GuardHandler([owner] { owner->OnFinish(); });
  });
  SetEnabled(TkxAction::aStop, true);
  SetButton(TkxButton::bCreate, TkxAction::aPause);
  SetEnabled(TkxAction::aPause, true);
  SetButton(TkxButton::bSearchConvert, TkxAction::aStop);
  stopped_ = false;
  workers_.Start();
  if (info_) info_->AddCount("C", 1);
}

void TkxFrmMain::aSearchConvertExecute() {
  aSearchExecute();
  aConvertExecute();
}

void TkxFrmMain::aPauseExecute() {
  if (!Busy()) return;
  SetEnabled(TkxAction::aPause, false);
  SetEnabled(TkxAction::aStop, false);
  workers_.Stop();
  actions_[Slot(TkxAction::aStop)].Tag = 0;
}

void TkxFrmMain::aStopExecute() {
  if (!Busy()) return;
  stopped_ = true;
  SetEnabled(TkxAction::aPause, false);
  SetEnabled(TkxAction::aStop, false);
  if (batch_) batch_->Terminate();
  workers_.Stop();
  actions_[Slot(TkxAction::aStop)].Tag = 1;
}

void TkxFrmMain::OnFinish() {
  DrainNotices();
  if (--workers_left_ >= 1) return;
  workers_left_ = 0;
  SetEnabled(TkxAction::aConvert, true);
  SetButton(TkxButton::bCreate, TkxAction::aConvert);
  SetEnabled(TkxAction::aSearchConvert, true);
  SetButton(TkxButton::bSearchConvert, TkxAction::aSearchConvert);
  SetEnabled(TkxAction::aSearch, true);
  if (info_ && batch_) {
    TkxBatch& batch = *batch_;
    GuardHandler([this, &batch] { info_->ReportRun(batch); });
  }
  if (ActionTag(TkxAction::aStop) == 1) {
    ReleaseBatch();
    actions_[Slot(TkxAction::aStop)].Tag = 0;
  }
  if (close_pending_) {
    view_.Close();
    return;
  }
  AfterRun();
}

void TkxFrmMain::AutoRun() {
  if (!project_.RunAndClose()) return;
  try {
    aConvertExecute();
  } catch (...) {
    ReportEscapedException(std::current_exception());
    // An unattended run that could not start still ends (or waits for its next turn).
    if (!Busy()) AfterRun();
  }
}

void TkxFrmMain::AfterRun() {
  if (!project_.RunAndClose()) return;
  const std::string log = project_.GetOption(option::kLogFile);
  if (!log.empty()) {
    try {
      SaveListToFile(log);
    } catch (...) {
      ReportEscapedException(std::current_exception());
    }
  }
  const int daemon = project_.Daemon();
  if (daemon < 1) {
    view_.Close();
    return;
  }
  // The pause is a timer, so the window stays responsive and the repeats never nest.
  if (!stopped_) view_.StartRepeatTimer(daemon);
}

void TkxFrmMain::OnRepeatTimer() {
  view_.StopRepeatTimer();
  if (stopped_ || Busy()) return;
  AutoRun();
}

// --- Project commands ---

std::vector<TkxMenuItem> TkxFrmMain::pm2Popup() const {
  std::vector<TkxMenuItem> items;
  for (const auto& path : project_.RecentProjects) {
    items.push_back(TkxMenuItem{path, fs::FileExists(path)});
  }
  return items;
}

void TkxFrmMain::RecentProjectClick(const std::string& caption) {
  project_.ProjectFile = caption;
  project_.OpenProject(true);
  UpdateCaption();
}

// --- Drops ---

void TkxFrmMain::DropFiles(TkxDropTarget target, const std::vector<std::string>& paths) {
  if (target == TkxDropTarget::None) return;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    if (paths.size() == 1 && project_.IsProjectFileName(path)) {
      project_.ProjectFile = path;
      project_.OpenProject(true);
      UpdateCaption();
      return;
    }
    if (target != TkxDropTarget::lViewer) {
      view_.SetFieldText(target == TkxDropTarget::eSource ? TkxField::eSource : TkxField::eTarget,
                         path);
      SuggestTarget(ExtractFilePath(path));
      return;
    }
    if (i == 0 && !NewBatch()) return;
    ShowFileRow(path);
  }
}

// --- Result list ---

void TkxFrmMain::ShowFileRow(const std::string& text) {
  SuggestTarget(ExtractFilePath(text));
  batch_->AddListedFile(text);
  // The batch's OnAdd ran on this thread; show its row at once.
  DrainNotices();
}

void TkxFrmMain::Queue(const std::shared_ptr<Mailbox>& box, Notice notice) {
  UiDispatcher* ui = Ui();
  {
    std::lock_guard<std::mutex> lock(box->Mu);
    box->Pending.push_back(notice);
    // Without a dispatcher the notices wait for the next drain on the window's thread.
    if (box->DrainPosted || ui == nullptr) return;
    box->DrainPosted = true;
  }
  std::weak_ptr<Mailbox> weak = box;
  ui->Post([weak] {
    auto owner_box = weak.lock();
    if (!owner_box || !owner_box->Owner) return;
    TkxFrmMain* owner = owner_box->Owner;
    GuardHandler([owner] { owner->DrainNotices(); });
  });
}

void TkxFrmMain::DrainNotices() {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::mutex> lock(mailbox_->Mu);
    notices.swap(mailbox_->Pending);
    mailbox_->DrainPosted = false;
  }
  for (const Notice& notice : notices) {
    if (batch_ && notice.Generation == generation_) ApplyNotice(notice);
  }
}

void TkxFrmMain::ApplyNotice(const Notice& notice) {
  const size_t old_count = rows_.size();
  const size_t index = static_cast<size_t>(notice.Index);
  {
    const TkxNodeList& nodes = batch_->LockNodes();
    struct Unlock {
      TkxBatch* batch;
      ~Unlock() { batch->UnlockNodes(); }
    } unlock{batch_.get()};
    if (notice.Index < 0 || index >= nodes.size()) return;
    const bool existed = index < old_count;
    // Rows for earlier nodes whose notices are still on their way are made now, so row k
    // always belongs to node k.
    while (rows_.size() <= index) rows_.push_back(TkxRow{0, nodes[rows_.size()]->Source, {}});
    TkxRow& row = rows_[index];
    const TkxNode& node = *nodes[index];
    if (existed) row.Image = node.State;
    if (notice.Done) {
      // The whole path, line breaks and all: a shortened one would name another file.
      row.Path = node.Source;
      // A failure shows the first line of its text; a success's text is the path written,
      // which must stay whole.
      row.Result = node.State == StateSuccess ? node.Message : FirstLine(node.Message);
      row.Image = node.State;
    }
  }
  if (rows_.size() != old_count) view_.RowsChanged(static_cast<int>(rows_.size()));
  view_.RowChanged(notice.Index);
}

void TkxFrmMain::SaveListToFile(const std::string& path) {
  DrainNotices();
  std::string out;
  for (const TkxRow& row : rows_) {
    out += "[";
    out += StateWord(row.Image);
    // Escaped, a name with a line break or bytes that are no text stays one line that still
    // names its file exactly.
    out += "] => " + text::EscapeLine(row.Path) + " => " + text::EscapeLine(row.Result) + "\r\n";
  }
  TkxFileUtils::WriteFileText(path, text::EscapedLineToAnsi(out), 1, false);
}

TkxListMenu TkxFrmMain::pm1Popup() const {
  TkxListMenu menu;
  const bool selected = !view_.SelectedRows().empty();
  menu.OpenSource = selected;
  menu.ViewSource = selected;
  return menu;
}

void TkxFrmMain::OpenSelectedSource(bool folder_only) {
  const std::vector<int> selected = view_.SelectedRows();
  if (selected.empty() || selected.front() < 0 || selected.front() >= RowCount()) return;
  std::string path = Row(selected.front()).Path;
  if (folder_only) path = ExtractFilePath(path);
  shell::Open(path);
}

void TkxFrmMain::aViewExecute() {
  const std::string target = view_.FieldText(TkxField::eTarget);
  if (target.empty()) {
    FocusField(TkxField::eTarget);
    return;
  }
  shell::Open(target);
}

void TkxFrmMain::ExportList1Click() {
  std::string file;
  if (SelectSaveFile("Log File|*.log", ".log", file)) SaveListToFile(file);
}

}  // namespace orvelle
