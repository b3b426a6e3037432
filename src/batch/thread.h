// A small thread base in the shape the framework expects: created suspended, started once,
// a terminate request the thread polls, and optional freeing of the object by its own thread
// when Execute returns.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvelle {

class TkxThread {
 public:
  TkxThread(const TkxThread&) = delete;
  TkxThread& operator=(const TkxThread&) = delete;
  // A thread that is not free-on-terminate must be waited for (WaitFor) by the most derived
  // destructor before its members go; this base joins as a last resort only.
  virtual ~TkxThread();

  // Starts the thread; later calls do nothing. With free-on-terminate the object may be gone
  // as soon as Start returns: the caller must not touch it afterwards. When the system cannot
  // create the thread, std::system_error escapes, nothing runs and the object stays the
  // caller's to free (StartFailed() is then true).
  void Start();
  // Asks the thread to end; Execute polls Terminated() at its own pace.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  bool Started() const { return started_; }
  bool StartFailed() const { return start_failed_; }
  // Blocks until Execute has returned. Not for free-on-terminate threads.
  void WaitFor();
  // Text of an exception that escaped Execute (empty when none). Read after WaitFor.
  const std::string& FatalError() const { return fatal_error_; }

 protected:
  explicit TkxThread(bool free_on_terminate = false);
  virtual void Execute() = 0;
  // Runs on the thread after Execute, before a free-on-terminate object is deleted.
  virtual void DoTerminate() {}
  // Registers a call made once the object no longer exists: after the deletion of a
  // free-on-terminate thread, or by this destructor when the thread never started. The
  // closure must not refer to the object. Only before Start.
  void AddAfterFree(std::function<void()> fn) { after_free_.push_back(std::move(fn)); }

 private:
  static void Run(TkxThread* self);

  const bool free_on_terminate_;
  std::atomic<bool> terminated_{false};
  bool started_ = false;       // written by the starter before the thread runs
  bool start_failed_ = false;  // written by the starter
  std::mutex start_mu_;        // held by Start until the thread object is set up
  std::thread thread_;
  std::string fatal_error_;  // written by the thread, read after WaitFor
  std::vector<std::function<void()>> after_free_;
};

}  // namespace orvelle
