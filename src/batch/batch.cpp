#include "batch/batch.h"

#include <cctype>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "project/file_address.h"
#include "project/match.h"
#include "project/option_list.h"
#include "project/project.h"
#include "project/run_options.h"

namespace orvelle {

namespace {

// Attribute bits that decide acceptance; the higher ones (compressed and the like) do not.
constexpr uint32_t kDecidingAttrs = 0x1FF;

// Access keeps a lock file beside every open database (.ldb for .mdb, .laccdb for .accdb);
// the default mask "*.*db" matches them too, but they are never databases.
bool IsLockFileName(const std::string& path) {
  const std::string ext = ExtractFileExt(path);
  return text::SameTextAscii(ext, ".ldb") || text::SameTextAscii(ext, ".laccdb");
}

}  // namespace

const char* StateWord(int32_t state) {
  switch (state) {
    case StateSuccess:
      return "Success";
    case StateFailure:
      return "Failure";
    default:
      return "Running";
  }
}

TkxBatch::TkxBatch() : TkxThread(false) {}

TkxBatch::~TkxBatch() {
  Terminate();
  WaitFor();
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    closing_ = true;
    search_done_ = true;
  }
  node_added_.notify_all();
  // A worker may still be finishing; its nodes and this lock must outlive it.
  std::unique_lock<std::mutex> lock(workers_mu_);
  workers_cv_.wait(lock, [this] { return workers_ == 0; });
}

std::string TkxBatch::NormalizePath(const std::string& text) { return FileAddressToPath(text); }

void TkxBatch::Setup(const std::string& source, const std::string& target, bool subdirs) {
  std::string source_path = NormalizePath(source);
  std::string target_dir = NormalizePath(target);
  if (target_dir.empty()) throw fs::FileError("Unable to create directory");
  // The options of this run, read once before the search starts.
  const TkxRunOptions options(kxProject);
  if (options.TargetDelimiter == kPathDelim && !IsNonLocalAddress(target_dir) &&
      !fs::DirectoryExists(target_dir)) {
    // A folder that cannot be made is reported per file by the jobs.
    fs::ForceDirectories(target_dir);
  }
  // The search reads these fields while it runs, so a second call leaves them alone.
  if (Started()) return;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  TargetDir = target_dir;
  reg_ext_ = options.RegExt;
  skip_hidden_ = options.SkipHidden;
  Mask = ExtractFileName(source_path);
  mask_regex_ = WildcardToRegex(Mask);
  SourceDir = ExtractFilePath(source_path);
  Subdirs = subdirs;
  if (search_done_) return;
  try {
    Start();
  } catch (...) {
    // No search will ever end by itself: workers must not wait for one.
    MarkSearchDone();
    throw;
  }
}

void TkxBatch::AddListedFile(const std::string& path) {
  AddFile(path);
  MarkSearchDone();
}

void TkxBatch::AddFile(const std::string& path) {
  if (IsLockFileName(path) || !Accepts(path)) return;
  TkxNode* node;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto owned = std::make_unique<TkxNode>();
    owned->Index = static_cast<int32_t>(nodes_.size());
    owned->Source = path;
    node = owned.get();
    nodes_.push_back(std::move(owned));
  }
  node_added_.notify_one();
  if (OnAdd) OnAdd(this, node);
}

bool TkxBatch::Accepts(const std::string& path) const {
  TkxMatchBase* match = kxMatch;
  if (!match) return true;
  if (!match->IsMatch(path, mask_regex_)) return false;
  std::string reg_ext;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    reg_ext = reg_ext_;
  }
  return reg_ext.empty() || match->IsMatch(path, reg_ext);
}

TkxNode* TkxBatch::NextNode() {
  std::unique_lock<std::recursive_mutex> lock(mu_);
  for (;;) {
    if (closing_) return nullptr;
    if (next_index_ < static_cast<int>(nodes_.size())) return nodes_[next_index_++].get();
    // Tested together with the list under the lock: a node added just before the search
    // ended is still handed out.
    if (search_done_) {
      exhausted_ = true;
      return nullptr;
    }
    ++waiting_;
    waiting_cv_.notify_all();
    node_added_.wait(lock);
    --waiting_;
  }
}

void TkxBatch::AwaitWaiting(int count) const {
  std::unique_lock<std::recursive_mutex> lock(mu_);
  waiting_cv_.wait(lock, [&] { return waiting_ >= count; });
}

void TkxBatch::Decide(TkxNode* node, int32_t state, const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  node->State = state;
  node->Message = message;
}

void TkxBatch::SetMessage(TkxNode* node, const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  node->Message = message;
}

void TkxBatch::AddSuccess() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++successes_;
}

void TkxBatch::AddFailure(const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++failures_;
  for (const auto& known : errors_) {
    if (text::SameTextI(known, message)) return;
  }
  errors_.push_back(message);
}

int TkxBatch::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return static_cast<int>(nodes_.size());
}

int TkxBatch::Successes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return successes_;
}

int TkxBatch::Failures() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return failures_;
}

std::vector<std::string> TkxBatch::Errors() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return errors_;
}

bool TkxBatch::IsExhausted() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return exhausted_;
}

bool TkxBatch::SearchDone() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return search_done_;
}

int TkxBatch::NextIndex() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return next_index_;
}

const TkxNodeList& TkxBatch::LockNodes() {
  mu_.lock();
  return nodes_;
}

void TkxBatch::UnlockNodes() { mu_.unlock(); }

void TkxBatch::AttachWorker() {
  std::lock_guard<std::mutex> lock(workers_mu_);
  ++workers_;
}

void TkxBatch::DetachWorker() {
  std::lock_guard<std::mutex> lock(workers_mu_);
  --workers_;
  workers_cv_.notify_all();
}

void TkxBatch::MarkSearchDone() {
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    search_done_ = true;
  }
  node_added_.notify_all();
}

std::vector<std::string> TkxBatch::SearchProblems() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return search_problems_;
}

void TkxBatch::AddSearchProblem(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  search_problems_.push_back(text);
}

void TkxBatch::Execute() {
  // Whatever ends the search, the workers learn that nothing more will come.
  struct Done {
    TkxBatch* batch;
    ~Done() { batch->MarkSearchDone(); }
  } done{this};
  try {
    std::string target_dir;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      target_dir = TargetDir;
    }
    // Outputs written inside the searched tree are not sources: a rerun would compact the
    // last run's results again. The target is left out unless it is the source folder
    // itself (compacting in place).
    const std::string target_id = fs::FolderIdentity(target_dir);
    if (target_id != fs::FolderIdentity(SourceDir)) excluded_folder_ = target_id;
    std::unordered_set<std::string> visited;
    SearchFolder(SourceDir, skip_hidden_ ? kAcceptNotHidden : kAcceptAll, visited);
  } catch (const std::exception& e) {
    AddSearchProblem(std::string("The search stopped early: ") + e.what());
  } catch (...) {
    AddSearchProblem("The search stopped early on an unknown failure.");
  }
}

void TkxBatch::SearchFolder(const std::string& dir, uint32_t accepted,
                            std::unordered_set<std::string>& visited) {
  // A folder reached a second time (through a link) is not searched again, so a link cycle
  // cannot keep the search going for ever.
  std::string identity = fs::FolderIdentity(dir);
  if (!identity.empty() && !visited.insert(identity).second) return;
  if (!identity.empty() && identity == excluded_folder_) return;

  std::string error;
  const bool listed = fs::EnumerateFolder(
      dir, Mask, accepted,
      [&](const fs::DirEntry& entry) {
        // FIFOs, devices and sockets are no databases; opening one could block the run.
        if ((entry.attributes & fs::kAttrDevice) == 0 &&
            (entry.attributes & kDecidingAttrs & ~accepted) == 0) {
          AddFile(dir + entry.name);
        }
        return !Terminated();
      },
      &error);
  // The top folder is the owner's to check before the run; a sub-folder that cannot be read
  // is told afterwards.
  if (!listed && dir != SourceDir) {
    AddSearchProblem("The folder \"" + dir + "\" could not be read (" + error +
                     "); its files were left out.");
  }
  if (!Subdirs || Terminated()) return;

  // Collected first so that no folder stays open while its sub-folders are searched.
  std::vector<std::string> folders;
  // Read-only never filters an enumeration; naming it spares POSIX a status call per file.
  fs::EnumerateFolder(dir, "*.*", kAcceptFolders | fs::kAttrReadOnly,
                      [&](const fs::DirEntry& entry) {
                        if (entry.attributes & fs::kAttrDirectory) folders.push_back(entry.name);
                        return true;
                      });
  for (const auto& name : folders) {
    if (Terminated()) return;
    SearchFolder(dir + name + kPathDelim, accepted, visited);
  }
}

}  // namespace orvelle
