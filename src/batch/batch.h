// One batch run: finds the source files on its own thread, keeps one node per accepted file
// in the order found, hands the nodes to the workers one at a time, and keeps the results.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "batch/thread.h"
#include "project/types.h"

namespace orvelle {

enum : int32_t { StatePending = 0, StateSuccess = 1, StateFailure = 2 };
// The word a state is shown and logged as: "Success", "Failure", and "Running" for any other
// value (a file not yet decided).
const char* StateWord(int32_t state);

// One accepted file. Created and owned by the batch; a node pointer stays valid until the
// batch is destroyed. State and Message are written by the job that holds the node, under
// the batch's lock (TkxBatch::Decide); read them under LockNodes or after OnNodeDone.
struct TkxNode {
  int32_t State = StatePending;
  int32_t Index = 0;    // position in the batch, also the result row
  std::string Source;   // the path as passed to AddFile
  std::string Message;  // target path on success, error text on failure
  // What the job learnt on the way, for the console's progress, summary and report: written
  // by the job that holds the node before OnNodeDone, read in OnNodeDone or after the run.
  std::string Target;        // the target planned (a skipped file: the one that exists)
  std::string Engine;        // "dao" or "native" once one was created, else empty
  int64_t BytesBefore = -1;  // the source's size before compaction, -1 when unknown
  int64_t BytesAfter = -1;   // the compacted file's size, -1 when none was written
  int64_t Ms = 0;            // how long the job spent on the file
};

using TkxNodeList = std::vector<std::unique_ptr<TkxNode>>;

// The attribute sets a search accepts (Windows attribute values).
inline constexpr uint32_t kAcceptAll = 0x1EF;        // everything but folders
inline constexpr uint32_t kAcceptNotHidden = 0x1ED;  // ... and not hidden
inline constexpr uint32_t kAcceptFolders = 0x10;

// Thread safety: every operation may be called from any thread. The owner creates and frees
// the batch; the destructor stops the search and waits until no worker serves the batch.
class TkxBatch : public TkxThread {
 public:
  TkxBatch();
  ~TkxBatch() override;

  // Normalises source and target, creates a missing target folder and starts the search.
  // Throws fs::FileError "Unable to create directory" for an empty target (nothing starts).
  // A second call changes nothing once the search has started.
  void Setup(const std::string& source, const std::string& target, bool subdirs);
  // AddFile, then no further nodes are expected (SearchDone).
  void AddListedFile(const std::string& path);
  // Filters the path and, when accepted, appends a node and fires OnAdd. A lock file
  // (.ldb, .laccdb) is never accepted.
  void AddFile(const std::string& path);
  bool Accepts(const std::string& path) const;

  // The next node for a worker, or null when the run has no more work. Blocks while the
  // search is still running and nothing is waiting. Workers only.
  TkxNode* NextNode();

  // The job's decision for its node, written under the lock.
  void Decide(TkxNode* node, int32_t state, const std::string& message);
  void SetMessage(TkxNode* node, const std::string& message);
  void AddSuccess();
  // Counts a failure; keeps the text once in Errors (letter case ignored).
  void AddFailure(const std::string& message);

  int Count() const;
  int Successes() const;
  int Failures() const;
  std::vector<std::string> Errors() const;  // distinct failure texts, first-seen order
  // Blocks until at least `count` workers wait in NextNode for a node (tests, benchmarks).
  void AwaitWaiting(int count) const;
  bool IsExhausted() const;
  bool SearchDone() const;
  // What kept the search from seeing everything: a sub-folder that could not be read, a
  // failure that ended the search early. In the order met; read after the search is done.
  std::vector<std::string> SearchProblems() const;
  int NextIndex() const;

  // The re-entrant lock of the node list; an OnAdd/OnNodeDone handler may take it again.
  const TkxNodeList& LockNodes();
  void UnlockNodes();

  // "file:" addresses become local paths; any other text is returned unchanged.
  static std::string NormalizePath(const std::string& text);

  // Written by Setup (before the search starts) and by CreateJobs under LockNodes; the jobs
  // read them under LockNodes.
  std::string SourceDir;
  std::string TargetDir;
  std::string Mask;  // set by Setup only
  bool Subdirs = false;
  // Set by the owner before Setup/AddListedFile; called with no lock held.
  TkxNodeEvent OnAdd;

  // Worker bookkeeping (TkxWorkBase): the destructor waits until every attached worker has
  // detached, so a batch is never freed while a worker serves it.
  void AttachWorker();
  void DetachWorker();

 protected:
  void Execute() override;

 private:
  void SearchFolder(const std::string& dir, uint32_t accepted,
                    std::unordered_set<std::string>& visited);
  void MarkSearchDone();
  void AddSearchProblem(const std::string& text);

  mutable std::recursive_mutex mu_;
  std::condition_variable_any node_added_;          // waits on mu_
  mutable std::condition_variable_any waiting_cv_;  // waits on mu_
  int waiting_ = 0;                                 // guarded by mu_
  TkxNodeList nodes_;                               // guarded by mu_
  int next_index_ = 0;                              // guarded by mu_
  int successes_ = 0;                               // guarded by mu_
  int failures_ = 0;                                // guarded by mu_
  std::vector<std::string> errors_;                 // guarded by mu_
  bool search_done_ = false;                        // guarded by mu_
  bool exhausted_ = false;                          // guarded by mu_
  bool closing_ = false;                            // guarded by mu_; the destructor has begun
  std::vector<std::string> search_problems_;        // guarded by mu_

  std::string mask_regex_ = "$";  // WildcardToRegex(Mask), set with it before the search
  // Copies of the options taken when the search starts.
  std::string reg_ext_;          // guarded by mu_
  bool skip_hidden_ = false;     // set by Setup before the search starts, read by the search
  std::string excluded_folder_;  // search thread only; identity of a target inside the tree

  std::mutex workers_mu_;
  std::condition_variable workers_cv_;
  int workers_ = 0;  // guarded by workers_mu_
};

}  // namespace orvelle
