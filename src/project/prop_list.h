// Moves one value between the option list and a property of a window control.
#pragma once

#include <string>
#include <vector>

namespace orvelle {

// The small property interface that bound controls implement: an edit publishes "Text"
// (string), a check box "Checked" (Boolean). Abstract so that the window and tests can
// provide controls.
class TkxControl {
 public:
  enum class PropKind { String, Boolean };
  virtual ~TkxControl() = default;
  virtual std::string Name() const = 0;      // "eSource", "cSubdir", "eTarget"
  virtual std::string PropName() const = 0;  // the hint: "Text" or "Checked"
  // Published properties by name (the caller compares names ignoring case).
  virtual std::vector<std::string> PropNames() const = 0;
  virtual PropKind KindOf(const std::string& prop) const = 0;
  virtual std::string GetString(const std::string& prop) const = 0;
  virtual void SetString(const std::string& prop, const std::string& value) = 0;
  virtual bool GetBool(const std::string& prop) const = 0;
  virtual void SetBool(const std::string& prop, bool value) = 0;
};

class TkxPropList {
 public:
  explicit TkxPropList(TkxControl* target) : target_(target) {}
  // Empty text when there is no such property or reading fails.
  std::string GetProp(const std::string& name) const;
  // Never fails; see the option rules for Boolean properties.
  void SetProp(const std::string& name, const std::string& value);
  TkxControl* Target() const { return target_; }

 private:
  TkxControl* target_;  // not owned
};

}  // namespace orvelle
