// Without COM, automation objects come only from in-process providers, registered by ProgID.
#include "platform/automation.h"

namespace orvelle::automation {

void InitThread() {}

std::unique_ptr<Object> Create(const std::string& prog_id) {
  if (auto object = CreateFromProvider(prog_id)) return object;
  // CO_E_CLASSSTRING, as COM answers for a ProgID that names no class.
  throw AutomationError("Invalid class string, ProgID: \"" + prog_id + "\"",
                        static_cast<long>(0x800401F3));
}

}  // namespace orvelle::automation
