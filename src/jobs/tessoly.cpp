#include "jobs/tessoly.h"

#include <memory>
#include <stdexcept>

#include "engine/app.h"
#include "engine/batch.h"
#include "jobs/engine_choice.h"
#include "platform/automation.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "project/project.h"

namespace orvelle {

TkxWorkBase* TkxTessoly::Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return new TkxTessoly(batch, count, on_done);
}

std::string TkxTessoly::ClaimWorkingPath(const std::string& source, bool must_be_free) {
  auto usable = [&](const std::string& candidate) {
    if (SameFile(candidate, source)) return false;  // a ".bak" source is not its own copy
    if (must_be_free && fs::FileExists(candidate)) return false;
    return TryClaimPath(candidate);
  };
  std::string candidate = ChangeFileExt(source, ".bak");
  if (usable(candidate)) return candidate;
  candidate = source + ".bak";
  for (int n = 1; !usable(candidate); ++n) {
    candidate = source + "." + std::to_string(n) + ".bak";
  }
  return candidate;
}

void TkxTessoly::ConvertFile(TkxBatch* batch, TkxNode* node) {
  const std::string target = PlanTarget(batch, node);
  if (target.empty()) return;
  const std::string source = node->Source;
  try {
    // DAO (".120", else ".36") when one exists, else the native engine, unless the option
    // "Engine" asks for one of them.
    const std::string choice = kxProject ? kxProject->GetOption(kEngineOption) : std::string();
    std::unique_ptr<automation::Object> engine = CreateCompactionEngine(choice);

    // In place, the source itself becomes the working copy for the time of the compaction;
    // a leftover file at the usual name is then left alone rather than overwritten.
    const bool in_place = SameFile(target, source);
    const std::string working = ClaimWorkingPath(source, in_place);
    std::string error;
    bool made = in_place ? fs::MoveFileTo(source, working, &error)
                         : fs::CopyFileTo(source, working, true, &error);
    if (!made) {
      throw std::runtime_error("Cannot make the working copy \"" + working + "\": " + error);
    }

    DeleteTarget(target);
    // Only a target this job cleared may be removed again after a failure.
    const bool target_cleared = !fs::FileExists(target);
    std::string password = kxProject ? kxProject->GetOption("Password") : std::string();
    try {
      if (password.empty()) {
        engine->Invoke("CompactDatabase", {working, target});
      } else {
        engine->Invoke("CompactDatabase",
                       {working, target, std::nullopt, std::nullopt, ";pwd=" + password});
      }
      if (!fs::FileExists(target)) {
        throw std::runtime_error("The engine wrote no database at \"" + target + "\"");
      }
    } catch (...) {
      // No half-written target stays behind, and a database compacted in place gets its own
      // name back.
      if (target_cleared) fs::DeleteFileAt(target);
      if (in_place) fs::MoveFileTo(working, source);
      throw;
    }
    engine.reset();
    fs::DeleteFileAt(working);
    FinishSource(batch, node, target);
    batch->Decide(node, StateSuccess, target);
    batch->AddSuccess();
  } catch (const std::exception& e) {
    batch->Decide(node, StateFailure, e.what());
    batch->AddFailure(e.what());
  }
}

}  // namespace orvelle
