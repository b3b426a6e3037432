#include "jobs/testtools/stand_in_engine.h"

#include "platform/fs.h"

namespace orvelle::testing {

struct StandInEngine::State {
  mutable std::mutex mu;
  std::vector<EngineCall> calls;                      // guarded by mu
  std::string failure;                                // guarded by mu
  std::string partial;                                // guarded by mu
  bool do_nothing = false;                            // guarded by mu
  int creations = 0;                                  // guarded by mu
  std::function<void(const automation::Args&)> hook;  // guarded by mu
};

namespace {

class Engine : public automation::Object {
 public:
  Engine(std::string prog_id, std::shared_ptr<StandInEngine::State> state)
      : prog_id_(std::move(prog_id)), state_(std::move(state)) {}

  void Invoke(const std::string& method, const automation::Args& args) override {
    std::function<void(const automation::Args&)> hook;
    std::string failure, partial;
    bool do_nothing;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      state_->calls.push_back({prog_id_, method, args});
      hook = state_->hook;
      failure = state_->failure;
      partial = state_->partial;
      do_nothing = state_->do_nothing;
    }
    if (hook) hook(args);
    if (method != "CompactDatabase" || args.size() < 2 || !args[0] || !args[1]) {
      throw automation::ProviderError("Invalid argument.");
    }
    if (do_nothing) return;
    if (!failure.empty()) {
      if (!partial.empty()) fs::WriteAll(*args[1], partial);
      for (size_t at; (at = failure.find("{input}")) != std::string::npos;) {
        failure.replace(at, 7, *args[0]);
      }
      throw automation::ProviderError(failure);
    }
    if (fs::FileExists(*args[1])) throw automation::ProviderError("Database already exists.");
    // A new file, as the engine makes it: the folder's default permissions, not the input's.
    try {
      fs::WriteAll(*args[1], fs::ReadAll(*args[0]));
    } catch (const fs::FileError& e) {
      throw automation::ProviderError("Could not compact '" + *args[0] + "': " + e.what());
    }
  }

 private:
  std::string prog_id_;
  std::shared_ptr<StandInEngine::State> state_;
};

}  // namespace

StandInEngine::StandInEngine(std::string prog_id)
    : prog_id_(std::move(prog_id)), state_(std::make_shared<State>()) {
  auto state = state_;
  auto id = prog_id_;
  automation::RegisterProvider(prog_id_, [state, id]() -> std::unique_ptr<automation::Object> {
    {
      std::lock_guard<std::mutex> lock(state->mu);
      ++state->creations;
    }
    return std::make_unique<Engine>(id, state);
  });
}

StandInEngine::~StandInEngine() { automation::UnregisterProvider(prog_id_); }

void StandInEngine::FailWith(const std::string& description) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->failure = description;
}

void StandInEngine::WritePartialTarget(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->partial = bytes;
}

void StandInEngine::DoNothing(bool on) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->do_nothing = on;
}

void StandInEngine::OnCall(std::function<void(const automation::Args&)> hook) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->hook = std::move(hook);
}

std::vector<EngineCall> StandInEngine::Calls() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->calls;
}

int StandInEngine::Creations() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->creations;
}

void RegisterStandInEngine() {
  static StandInEngine* engine = new StandInEngine("DAO.DBEngine.120");
  (void)engine;
}

}  // namespace orvelle::testing
