// Which database engine compacts: the option "Engine" of the batch project.
//   "dao"    DAO.DBEngine.120, else DAO.DBEngine.36, as always;
//   "native" the native engine only;
//   "auto"   (also empty or unknown) DAO when one of the two can be created, else native.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/automation.h"

namespace orvelle {

inline constexpr char kEngineOption[] = "Engine";

enum class EngineChoice { kAuto, kDao, kNative };

// Case-insensitive; anything else is kAuto.
EngineChoice ParseEngineChoice(const std::string& option);

// Creates the engine object the option asks for, initialising automation for the thread.
// Throws automation::AutomationError as the creation reports it; when no engine at all can be
// created under "dao", the text of the "DAO.DBEngine.36" failure.
std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option);

// The same with the object creation replaced (tests).
using EngineFactory = std::function<std::unique_ptr<automation::Object>(const std::string&)>;
std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option,
                                                           const EngineFactory& create);

}  // namespace orvelle
