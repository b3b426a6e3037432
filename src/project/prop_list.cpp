#include "project/prop_list.h"

#include "platform/text.h"

namespace orvelle {
namespace {

// The published name of `name` on `target` in the control's own spelling; empty when none.
std::string FindProp(const TkxControl& target, const std::string& name) {
  for (const auto& prop : target.PropNames()) {
    if (text::SameTextI(prop, name)) return prop;
  }
  return std::string();
}

}  // namespace

std::string TkxPropList::GetProp(const std::string& name) const {
  if (target_ == nullptr) return std::string();
  try {
    const std::string prop = FindProp(*target_, name);
    if (prop.empty()) return std::string();
    if (target_->KindOf(prop) == TkxControl::PropKind::Boolean) {
      return target_->GetBool(prop) ? "True" : "False";
    }
    return target_->GetString(prop);
  } catch (...) {
    return std::string();
  }
}

void TkxPropList::SetProp(const std::string& name, const std::string& value) {
  if (target_ == nullptr) return;
  try {
    const std::string prop = FindProp(*target_, name);
    if (prop.empty()) return;
    if (target_->KindOf(prop) == TkxControl::PropKind::Boolean) {
      // Only the member names count; anything else leaves the state as it is.
      if (value.empty() || text::SameTextI(value, "False")) {
        target_->SetBool(prop, false);
      } else if (text::SameTextI(value, "True")) {
        target_->SetBool(prop, true);
      }
      return;
    }
    target_->SetString(prop, value);
  } catch (...) {
    // A control that refuses a value keeps its state.
  }
}

}  // namespace orvelle
