#include "jobs/engine_choice.h"

#include "jobs/native_engine.h"
#include "platform/text.h"

namespace orvelle {

namespace {

const char kDaoPrefix[] = "DAO.DBEngine.";

std::unique_ptr<automation::Object> CreateDao(const EngineFactory& create, std::string& prog_id) {
  automation::InitThread();
  try {
    prog_id = std::string(kDaoPrefix) + "120";
    return create(prog_id);
  } catch (const automation::AutomationError&) {
    automation::InitThread();
    prog_id = std::string(kDaoPrefix) + "36";
    return create(prog_id);
  }
}

std::unique_ptr<automation::Object> CreateNamed(const std::string& prog_id,
                                                const EngineFactory& create) {
  if (prog_id == kNativeEngineProgId) RegisterNativeEngine();
  automation::InitThread();
  return create(prog_id);
}

std::unique_ptr<automation::Object> SeamCreate(const std::string& id) {
  return automation::Create(id);
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
                                                           const EngineFactory& create,
                                                           std::string* prog_id) {
  std::string chosen;
  EngineChoice choice = ParseEngineChoice(engine_option);
  if (choice != EngineChoice::kNative) {
    try {
      auto object = CreateDao(create, chosen);
      if (prog_id) *prog_id = chosen;
      return object;
    } catch (const automation::AutomationError&) {
      if (choice == EngineChoice::kDao) throw;
    }
  }
  auto object = CreateNamed(kNativeEngineProgId, create);
  if (prog_id) *prog_id = kNativeEngineProgId;
  return object;
}

std::unique_ptr<automation::Object> CreateCompactionEngine(const std::string& engine_option) {
  return CreateCompactionEngine(engine_option, SeamCreate);
}

TkxRunEngine::TkxRunEngine(std::string engine_option, EngineFactory create)
    : option_(std::move(engine_option)), create_(create ? std::move(create) : SeamCreate) {}

std::unique_ptr<automation::Object> TkxRunEngine::Create() {
  std::string prog_id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!decided_) {
      // The other jobs wait for the choice rather than make it again.
      decided_ = true;
      try {
        return CreateCompactionEngine(option_, create_, &prog_id_);
      } catch (...) {
        error_ = std::current_exception();
        throw;
      }
    }
    if (error_) std::rethrow_exception(error_);
    prog_id = prog_id_;
  }
  return CreateNamed(prog_id, create_);
}

}  // namespace orvelle
