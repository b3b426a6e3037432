// A stand-in database engine for tests, registered with the automation seam under a ProgID.
// It records every call and, unless told to fail, writes the first argument's bytes to a new
// file at the second argument's path as the real engine's compaction would.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/automation.h"

namespace orvelle::testing {

struct EngineCall {
  std::string prog_id;
  std::string method;
  automation::Args args;
};

// Registers on construction, unregisters on destruction. Thread-safe.
class StandInEngine {
 public:
  explicit StandInEngine(std::string prog_id = "DAO.DBEngine.120");
  ~StandInEngine();
  StandInEngine(const StandInEngine&) = delete;
  StandInEngine& operator=(const StandInEngine&) = delete;

  // Every later call fails with this description (empty: succeed again); "{input}" in it
  // stands for the first argument, as an engine names the file it was given.
  void FailWith(const std::string& description);
  // When failing, write these bytes at the target first (a partial result).
  void WritePartialTarget(const std::string& bytes);
  // Do nothing at all on a call (neither write nor fail).
  void DoNothing(bool on);
  // Runs inside every call before anything else, on the job's thread.
  void OnCall(std::function<void(const automation::Args&)> hook);

  std::vector<EngineCall> Calls() const;
  int Creations() const;

  struct State;

 private:
  std::string prog_id_;
  std::shared_ptr<State> state_;
};

// For runs without a fixture: registers a stand-in under "DAO.DBEngine.120" for the life of
// the process (the console runner's tests use it).
void RegisterStandInEngine();

}  // namespace orvelle::testing
