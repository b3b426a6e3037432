#include "jobs/engine_choice.h"

#include "jobs/native_engine.h"
#include "platform/text.h"

namespace orvelle {

namespace {

const char kDaoPrefix[] = "DAO.DBEngine.";

std::unique_ptr<automation::Object> CreateDao(const EngineFactory& create) {
  automation::InitThread();
  try {
    return create(std::string(kDaoPrefix) + "120");
  } catch (const automation::AutomationError&) {
    automation::InitThread();
    return create(std::string(kDaoPrefix) + "36");
  }
}

}  // namespace

EngineChoice ParseEngineChoice(const std::string& option) {
  std::string v;
  for (char c : option) {
    if (c != ' ' && c != '\t') v += text::LowerAscii(c);
  }
  if (v == "dao") return EngineChoice::kDao;
  if (v == "native") return EngineChoice::kNative;
  return EngineChoice::kAuto;
}

std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option,
                                                           const EngineFactory& create) {
  EngineChoice choice = ParseEngineChoice(engine_option);
  if (choice != EngineChoice::kNative) {
    try {
      return CreateDao(create);
    } catch (const automation::AutomationError&) {
      if (choice == EngineChoice::kDao) throw;
    }
  }
  RegisterNativeEngine();
  automation::InitThread();
  return create(kNativeEngineProgId);
}

std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option) {
  return CreateCompactionEngine(engine_option,
                                [](const std::string& id) { return automation::Create(id); });
}

}  // namespace orvelle
