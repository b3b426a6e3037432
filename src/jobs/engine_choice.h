// Which database engine compacts: the option "Engine" of the batch project.
//   "dao"    DAO.DBEngine.120, else DAO.DBEngine.36, as always;
//   "native" the native engine only;
//   "auto"   (also empty or unknown) DAO when one of the two can be created, else native.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/automation.h"

namespace orvelle {

enum class EngineChoice { kAuto, kDao, kNative };

// Case-insensitive; anything else is kAuto.
EngineChoice ParseEngineChoice(const std::string& option);

// Creates the engine object the option asks for, initialising automation for the thread.
// Throws automation::AutomationError as the creation reports it; when no engine at all can be
// created under "dao", the text of the "DAO.DBEngine.36" failure.
std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option);

// The same with the object creation replaced (tests); `prog_id` (when not null) receives the
// ProgID of the object created.
using EngineFactory = std::function<std::unique_ptr<automation::Object>(const std::string&)>;
std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option,
                                                           const EngineFactory& create,
                                                           std::string* prog_id = nullptr);

// The engine of one run, decided once: the first Create chooses as CreateCompactionEngine
// does; every later one makes a new object of the engine chosen, without trying the others
// again. When the choice failed, every Create throws what the first one threw. Shared by the
// run's jobs; each file gets an object of its own.
class TkxRunEngine {
 public:
  explicit TkxRunEngine(std::string engine_option, EngineFactory create = nullptr);
  std::unique_ptr<automation::Object> Create();

 private:
  const std::string option_;
  const EngineFactory create_;
  std::mutex mu_;
  bool decided_ = false;      // guarded by mu_
  std::string prog_id_;       // guarded by mu_; the engine chosen
  std::exception_ptr error_;  // guarded by mu_; why no engine could be chosen
};

}  // namespace orvelle
