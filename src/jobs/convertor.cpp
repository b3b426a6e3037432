#include "jobs/convertor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "batch/batch.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/ui_thread.h"
#include "project/project.h"

namespace orvelle {

struct TkxJobs::Chain {
  std::mutex mu;
  std::condition_variable freed;
  std::vector<TkxConvertor*> jobs;         // guarded by mu; valid only until started
  std::unordered_set<TkxConvertor*> live;  // guarded by mu; jobs whose destructor has not begun
  int unfreed = 0;                         // guarded by mu
  bool started = false;                    // guarded by mu
  TkxEvent on_finish;                      // guarded by mu
  int job_count = 0;                       // fixed at creation
  std::set<std::string> written;           // guarded by mu; targets this run has written
  TkxRunOptions options;                   // fixed at creation
  std::map<std::type_index, std::shared_ptr<void>> shared;  // guarded by mu
};

namespace {

std::mutex g_running_mu;
std::condition_variable g_running_cv;
int g_running_jobs = 0;  // guarded by g_running_mu

// Paths some job is writing, with the job that holds each.
std::mutex g_busy_mu;
std::condition_variable g_busy_cv;
std::map<std::string, const void*> g_busy;  // guarded by g_busy_mu

std::string BusyKey(const std::string& path) {
  // Windows file names ignore letter case; POSIX ones do not.
  return kPathDelim == '\\' ? text::LowerCase(path) : path;
}

// The descriptor's job class, the only way a run's jobs come to be; null when none is set.
TkxWorkClass JobClass() { return kxProject ? kxProject->JobClass : nullptr; }

std::string ChangeExt(const std::string& path, const std::string& ext) {
  return ChangeFileExt(path, ext);
}

}  // namespace

// ---- TkxJobs -------------------------------------------------------------------------------

TkxJobs::~TkxJobs() {
  if (!chain_) return;
  std::vector<TkxConvertor*> unstarted;
  {
    std::lock_guard<std::mutex> lock(chain_->mu);
    if (!chain_->started) unstarted.swap(chain_->jobs);
  }
  for (TkxConvertor* job : unstarted) delete job;
}

TkxJobs& TkxJobs::operator=(TkxJobs&& other) noexcept {
  if (this != &other) {
    TkxJobs old(std::move(*this));
    chain_ = std::move(other.chain_);
  }
  return *this;
}

TkxConvertor* TkxJobs::First() const {
  if (!chain_) return nullptr;
  std::lock_guard<std::mutex> lock(chain_->mu);
  return chain_->started || chain_->jobs.empty() ? nullptr : chain_->jobs.front();
}

int TkxJobs::JobCount() const { return chain_ ? chain_->job_count : 0; }

void TkxJobs::SetOnFinish(TkxEvent on_finish) {
  if (!chain_) return;
  std::lock_guard<std::mutex> lock(chain_->mu);
  chain_->on_finish = std::move(on_finish);
}

int TkxJobs::Start(std::string* error) {
  if (!chain_) return 0;
  std::vector<TkxConvertor*> jobs;
  {
    std::lock_guard<std::mutex> lock(chain_->mu);
    if (chain_->started) return 0;
    chain_->started = true;
    jobs.swap(chain_->jobs);
  }
  int started = 0;
  // Each job may end and free itself as soon as it is started: none is touched afterwards.
  for (TkxConvertor* job : jobs) {
    try {
      job->Start();
      ++started;
    } catch (const std::exception& e) {
      if (error != nullptr && error->empty()) *error = e.what();
      // Its thread never ran: it ends here, telling the run as a job that found no work.
      delete job;
    }
  }
  return started;
}

void TkxJobs::Stop() {
  if (!chain_) return;
  // A job leaves `live` under the lock before it is freed, so every pointer here is alive.
  std::lock_guard<std::mutex> lock(chain_->mu);
  for (TkxConvertor* job : chain_->live) job->Terminate();
}

int TkxJobs::Live() const {
  if (!chain_) return 0;
  std::lock_guard<std::mutex> lock(chain_->mu);
  return chain_->unfreed;
}

void TkxJobs::WaitFor() const {
  if (!chain_) return;
  std::unique_lock<std::mutex> lock(chain_->mu);
  if (!chain_->started) return;
  chain_->freed.wait(lock, [this] { return chain_->unfreed == 0; });
}

// ---- TkxConvertor --------------------------------------------------------------------------

TkxConvertor::TkxConvertor(TkxBatch* batch, int count, const TkxNodeEvent& on_done)
    : TkxWorkBase(batch, count, on_done), on_node_done_(on_done) {
  // Every job builds the next one, so the count is also the depth of this recursion.
  count = std::min(count, kMaxJobCount);
  const TkxWorkClass job_class = JobClass();
  if (count > 1 && job_class) {
    TkxWorkBase* next = job_class(batch, count - 1, on_done);
    next_job_ = dynamic_cast<TkxConvertor*>(next);
    if (!next_job_) delete next;  // a class outside the chain's family cannot join it
  }
  job_count_ = 1 + (next_job_ ? next_job_->job_count_ : 0);
}

TkxConvertor::~TkxConvertor() {
  ReleasePaths();
  TkxEvent on_finish;
  if (chain_) {
    std::lock_guard<std::mutex> lock(chain_->mu);
    chain_->live.erase(this);
    on_finish = chain_->on_finish;
  }
  // A chain freed before its start tells nobody; a job whose thread could not be created
  // ends like one that found no work, so the owner's count of jobs still reaches zero.
  if (!Started() && !StartFailed()) return;
  if (on_finish) {
    try {
      if (UiDispatcher* ui = Ui()) {
        ui->Send(on_finish);
      } else {
        on_finish();
      }
    } catch (...) {
      // The owner's handler failing must not take the worker thread down with it.
    }
  }
  batch_->LockNodes();
  {
    std::lock_guard<std::mutex> lock(g_running_mu);
    --g_running_jobs;
  }
  g_running_cv.notify_all();
  batch_->UnlockNodes();
}

TkxWorkBase* TkxConvertor::Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return new TkxConvertor(batch, count, on_done);
}

TkxJobs TkxConvertor::CreateJobs(TkxBatch* batch, const std::string& target,
                                 const TkxNodeEvent& on_done) {
  const TkxWorkClass job_class = JobClass();
  if (!job_class) throw std::logic_error("The project names no job class");
  std::string target_dir = TkxBatch::NormalizePath(target);
  batch->LockNodes();
  batch->TargetDir = target_dir;
  batch->UnlockNodes();
  TkxRunOptions options(kxProject);
  TkxWorkBase* first = job_class(batch, options.ThreadsCount, on_done);
  auto* head = dynamic_cast<TkxConvertor*>(first);
  if (!head) {
    delete first;
    throw std::logic_error("The job class is not a convertor");
  }
  auto chain = std::make_shared<TkxJobs::Chain>();
  chain->job_count = head->job_count_;
  chain->options = std::move(options);
  for (TkxConvertor* job = head; job; job = job->next_job_) {
    job->chain_ = chain;
    chain->jobs.push_back(job);
    chain->live.insert(job);
    ++chain->unfreed;
    job->AddAfterFree([chain_ref = chain] {
      {
        std::lock_guard<std::mutex> lock(chain_ref->mu);
        --chain_ref->unfreed;
      }
      chain_ref->freed.notify_all();
    });
  }
  TkxJobs jobs;
  jobs.chain_ = std::move(chain);
  return jobs;
}

void TkxConvertor::ProcessNode() {
  const auto started = std::chrono::steady_clock::now();
  try {
    ConvertFile(batch_, current_);
  } catch (...) {
    ReleasePaths();
    throw;
  }
  ReleasePaths();
  current_->Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count();
  if (on_node_done_) on_node_done_(batch_, current_);
}

void TkxConvertor::ClaimPath(const std::string& path) {
  std::string key = BusyKey(path);
  std::unique_lock<std::mutex> lock(g_busy_mu);
  g_busy_cv.wait(lock, [&] {
    auto it = g_busy.find(key);
    return it == g_busy.end() || it->second == this;
  });
  g_busy[key] = this;
}

bool TkxConvertor::TryClaimPath(const std::string& path) {
  std::string key = BusyKey(path);
  std::lock_guard<std::mutex> lock(g_busy_mu);
  auto it = g_busy.find(key);
  if (it != g_busy.end() && it->second != this) return false;
  g_busy[key] = this;
  return true;
}

void TkxConvertor::ReleasePaths() {
  {
    std::lock_guard<std::mutex> lock(g_busy_mu);
    for (auto it = g_busy.begin(); it != g_busy.end();) {
      it = it->second == this ? g_busy.erase(it) : std::next(it);
    }
  }
  g_busy_cv.notify_all();
}

std::string TkxConvertor::PlanTarget(TkxBatch* batch, TkxNode* node) {
  batch->LockNodes();
  std::string source_dir = batch->SourceDir;
  std::string target_dir = batch->TargetDir;
  batch->UnlockNodes();
  const std::string& source = node->Source;

  const bool keep_subdirs = RunOptions().KeepTargetSubdirs;
  std::string relative;
  // A path outside the searched folder (a listed file) keeps only its name.
  if (keep_subdirs && !source_dir.empty() && source.size() > source_dir.size() &&
      source.compare(0, source_dir.size(), source_dir) == 0) {
    relative = source.substr(source_dir.size());
  } else {
    relative = ExtractFileName(source);
  }
  for (char& c : relative) {
    if (c == ':') c = '_';
    if (c == '/' && kPathDelim != '/') c = '_';
  }
  std::string path = IncludeTrailingDelimiter(target_dir) + relative;

  const TkxRunOptions& p = RunOptions();
  if (!p.TargetExt.empty()) {
    std::string ext = ExtractFileExt(path);
    if (p.AltExt.empty() || text::SameTextAscii(ext, p.AltExt) ||
        (!p.MacroExt.empty() && text::SameTextAscii(ext, p.MacroExt))) {
      path = ChangeExt(path, p.TargetExt);
    } else if (p.MacroEnabled && IsMacroCapable()) {
      path = ChangeExt(path, p.MacroExt);
    } else {
      path = ChangeExt(path, p.AltExt);
    }
  }
  path = AdjustTargetName(path);

  std::string folder = ExtractFilePath(path);
  if (!folder.empty() && !fs::DirectoryExists(folder)) {
    fs::ForceDirectories(folder);
    if (!fs::DirectoryExists(folder)) batch->AddFailure("CreateDir Failed: " + folder);
  }

  ClaimPath(path);
  node->Target = path;
  // A target written from another file of this run is never replaced: two sources with one
  // target name (kept sub-folders off, the ":" rule) would otherwise leave one database lost.
  const bool taken = WrittenThisRun(path);
  if (!taken && !fs::FileExists(path)) return path;
  switch (p.Overwrite) {
    case TkxOverwrite::Skip:
      batch->Decide(node, StateSuccess, node->Message);
      return std::string();
    case TkxOverwrite::Yes:
      if (!taken) return path;
      break;
    case TkxOverwrite::No:
      break;
  }
  std::string renamed = folder + "-" + p.ShortName + "-" + ExtractFileName(path);
  ClaimPath(renamed);
  node->Target = renamed;
  if (WrittenThisRun(renamed)) {
    const std::string message = "Cannot compact \"" + source + "\": its targets \"" + path +
                                "\" and \"" + renamed +
                                "\" were both written from other files in this run";
    batch->Decide(node, StateFailure, message);
    batch->AddFailure(message);
    return std::string();
  }
  return renamed;
}

const TkxRunOptions& TkxConvertor::RunOptions() const {
  static const TkxRunOptions kDefaults;
  return chain_ ? chain_->options : kDefaults;
}

std::shared_ptr<void> TkxConvertor::RunSharedObject(
    std::type_index type, const std::function<std::shared_ptr<void>()>& make) {
  if (!chain_) return make();
  std::lock_guard<std::mutex> lock(chain_->mu);
  std::shared_ptr<void>& slot = chain_->shared[type];
  if (!slot) slot = make();
  return slot;
}

bool TkxConvertor::WrittenThisRun(const std::string& path) const {
  if (!chain_) return false;
  std::lock_guard<std::mutex> lock(chain_->mu);
  return chain_->written.count(BusyKey(path)) != 0;
}

void TkxConvertor::MarkWritten(const std::string& path) {
  if (!chain_) return;
  std::lock_guard<std::mutex> lock(chain_->mu);
  chain_->written.insert(BusyKey(path));
}

bool TkxConvertor::IsPlainSuffix(const std::string& text) {
  return text.find_first_of("/\\") == std::string::npos && text.find("..") == std::string::npos;
}

void TkxConvertor::FinishSource(TkxBatch* batch, TkxNode* node, const std::string& target) {
  const std::string& source = node->Source;
  const TkxRunOptions& options = RunOptions();
  if (options.KeepFileTime) CopyFileTimes(source, target);
  // Compacted in place: deleting or renaming the source would delete or rename the result.
  if (SameFile(source, target)) return;
  // A source goes only when its own output is there.
  if (!fs::FileExists(target)) return;
  if (options.DeleteSource) fs::DeleteFileAt(source);
  const std::string& suffix = options.RenameSource;
  if (!suffix.empty() && IsPlainSuffix(suffix)) fs::MoveFileTo(source, source + suffix);
}

void TkxConvertor::DeleteTarget(const std::string& path) { fs::DeleteFileAt(path); }

void TkxConvertor::CopyFileTimes(const std::string& source, const std::string& target) {
  fs::CopyTimes(source, target);
}

bool TkxConvertor::SameFile(const std::string& a, const std::string& b) {
  const bool windows = kPathDelim == '\\';
  if (a == b || (windows && text::SameTextAscii(a, b))) return true;
  // One name reached through two folder spellings (a link to a folder) is the same file; two
  // names of one file (hard links) are not, as removing one leaves the other.
  std::string name_a = ExtractFileName(a), name_b = ExtractFileName(b);
  if (windows ? !text::SameTextAscii(name_a, name_b) : name_a != name_b) return false;
  std::string id = fs::FolderIdentity(ExtractFilePath(a));
  return !id.empty() && id == fs::FolderIdentity(ExtractFilePath(b));
}

// ---- RunningJobs ---------------------------------------------------------------------------

void SetRunningJobs(int count) {
  {
    std::lock_guard<std::mutex> lock(g_running_mu);
    g_running_jobs = count;
  }
  g_running_cv.notify_all();
}

int RunningJobs() {
  std::lock_guard<std::mutex> lock(g_running_mu);
  return g_running_jobs;
}

void WaitRunningJobs() {
  std::unique_lock<std::mutex> lock(g_running_mu);
  g_running_cv.wait(lock, [] { return g_running_jobs <= 0; });
}

}  // namespace orvelle
