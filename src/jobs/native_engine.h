// The native database engine as an automation object, so that the compaction job calls it
// exactly as it calls DAO: "CompactDatabase" with the source and target names, and optionally
// two omitted arguments and ";pwd=" followed by the database password.
#pragma once

#include <memory>

#include "platform/automation.h"

namespace orvelle {

// The ProgID under which the native engine is registered with the automation seam.
inline constexpr char kNativeEngineProgId[] = "Orvelle.Jet.4";

// Registers the native engine's provider; repeated calls are harmless. Thread-safe.
void RegisterNativeEngine();

// A fresh native engine object. Its Invoke throws automation::ProviderError with the reason
// when the database cannot be compacted; the target then does not exist.
std::unique_ptr<automation::Object> NewNativeEngine();

// True for an object made by NewNativeEngine: an engine that only reads the database it
// compacts, so it needs no working copy of it.
bool IsNativeEngine(const automation::Object* object);

}  // namespace orvelle
