// The per-file job of the framework: target planning, overwrite rules, source handling and
// the chain of job threads that serve one batch. The conversion itself is ConvertFile.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <typeindex>

#include "batch/work_base.h"
#include "project/run_options.h"

namespace orvelle {

class TkxConvertor;

// The most jobs a chain holds: a larger "ThreadsCount" gives this many.
inline constexpr int kMaxJobCount = 64;

// The owner's handle on a chain of jobs. Jobs free themselves as they end, so the owner
// never keeps a job pointer: Start, Stop and SetOnFinish go through this handle, which only
// reaches jobs that are still alive. Movable, not copyable; a chain never started is freed
// with its handle. Use from the owner's thread.
class TkxJobs {
 public:
  TkxJobs() = default;
  ~TkxJobs();
  TkxJobs(TkxJobs&& other) noexcept = default;
  TkxJobs& operator=(TkxJobs&& other) noexcept;
  TkxJobs(const TkxJobs&) = delete;
  TkxJobs& operator=(const TkxJobs&) = delete;

  explicit operator bool() const { return chain_ != nullptr; }
  // The head of the chain; valid only until Start.
  TkxConvertor* First() const;
  // Number of job threads in the chain (at least 1).
  int JobCount() const;
  // Raised once per job as it ends: through Ui()->Send on the UI thread when a dispatcher is
  // installed, else on the job's thread. The job waits for it. Set before Start.
  void SetOnFinish(TkxEvent on_finish);
  // Starts every job of the chain, head first, and returns how many started; a second call
  // does nothing and returns 0. A job whose thread the system cannot create is freed at once
  // (its OnFinish and the RunningJobs count behave as for a job that found no work) and the
  // first such failure's text goes to `error`.
  int Start(std::string* error = nullptr);
  // Asks every job still alive to end after the file in hand.
  void Stop();
  // Jobs of the chain that have not yet been freed.
  int Live() const;
  // Blocks until every job of a started chain has been freed. Not on the thread that serves
  // Ui()->Send while OnFinish is set.
  void WaitFor() const;

  struct Chain;

 private:
  friend class TkxConvertor;
  std::shared_ptr<Chain> chain_;
};

class TkxConvertor : public TkxWorkBase {
 public:
  // Builds the rest of the chain through the descriptor's JobClass when count > 1 (none
  // without one); a count above kMaxJobCount counts as kMaxJobCount.
  TkxConvertor(TkxBatch* batch, int count, const TkxNodeEvent& on_done);
  ~TkxConvertor() override;

  static TkxWorkBase* Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done);

  // Normalises `target` into the batch's TargetDir and builds "ThreadsCount" jobs of the
  // descriptor's JobClass, suspended. Throws std::logic_error when there is no project or it
  // names no JobClass, and leaves the batch as it was.
  static TkxJobs CreateJobs(TkxBatch* batch, const std::string& target,
                            const TkxNodeEvent& on_done);

  int JobCount() const { return job_count_; }
  TkxConvertor* NextJob() const { return next_job_; }

  // The conversion of one file; the base does nothing.
  virtual void ConvertFile(TkxBatch* batch, TkxNode* node) {}
  virtual std::string AdjustTargetName(const std::string& path) { return path; }
  virtual bool IsMacroCapable() { return true; }

  // The target path for the node: sub-folders kept, name sanitised, folder created, the
  // existing-target rule applied. A target this run has written from another file counts as
  // existing and is never replaced: "IsOverwrite" true then takes the rename rule too. Empty
  // means the node is decided: skipped (State 1), or failed (State 2, counted) when the
  // renamed target was written in this run as well.
  std::string PlanTarget(TkxBatch* batch, TkxNode* node);
  // After a successful conversion: keep file time, delete or rename the source. The source
  // steps are left out when the target is the source itself or does not exist, and a rename
  // text that is not a plain suffix (IsPlainSuffix) renames nothing.
  void FinishSource(TkxBatch* batch, TkxNode* node, const std::string& target);
  // True for a "RenameSource" text that keeps the source in its folder: no path delimiter
  // (either slash) and no "..".
  static bool IsPlainSuffix(const std::string& text);
  static void DeleteTarget(const std::string& path);
  static void CopyFileTimes(const std::string& source, const std::string& target);
  // True when the two paths name the same file: the same spelling, or the same name in one
  // folder reached two ways.
  static bool SameFile(const std::string& a, const std::string& b);

 protected:
  void ProcessNode() override;
  // The options of this job's run, read once when its chain was created (CreateJobs); the
  // defaults for a job outside a chain.
  const TkxRunOptions& RunOptions() const;
  // One object of type T shared by every job of the run, made by `make` at the first call;
  // a job outside a chain gets a new one each time.
  template <class T, class Make>
  std::shared_ptr<T> RunShared(Make&& make) {
    return std::static_pointer_cast<T>(
        RunSharedObject(typeid(T), [&]() -> std::shared_ptr<void> { return make(); }));
  }
  // Paths this job writes are claimed for the rest of the node, so that two jobs never
  // write the same file at once. ClaimPath waits while another job holds the path;
  // TryClaimPath gives up at once. Both succeed for a path this job already holds.
  void ClaimPath(const std::string& path);
  bool TryClaimPath(const std::string& path);
  void ReleasePaths();
  // The targets this job's run has written (shared by the chain), for PlanTarget.
  bool WrittenThisRun(const std::string& path) const;
  void MarkWritten(const std::string& path);

 private:
  friend class TkxJobs;
  std::shared_ptr<void> RunSharedObject(std::type_index type,
                                        const std::function<std::shared_ptr<void>()>& make);
  TkxNodeEvent on_node_done_;
  TkxConvertor* next_job_ = nullptr;  // not owned; valid until the chain starts
  int job_count_ = 1;
  std::shared_ptr<TkxJobs::Chain> chain_;  // set by CreateJobs before any job starts
};

// The process-wide count of the console run's jobs that have not yet ended. Each job's end
// counts it down (under the batch's lock); the console runner sets it before Start.
void SetRunningJobs(int count);
int RunningJobs();
// Blocks until RunningJobs() is 0 or below; no polling.
void WaitRunningJobs();

}  // namespace orvelle
