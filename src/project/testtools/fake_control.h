// A window control for tests: an edit ("Text") or a check box ("Checked") that keeps its
// value in memory, with an optional failure on every access.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "project/prop_list.h"

namespace orvelle::test {

class FakeControl : public TkxControl {
 public:
  // An edit when `prop` is "Text", a check box when it is "Checked".
  FakeControl(std::string name, std::string prop)
      : name_(std::move(name)), prop_(std::move(prop)) {}

  std::string Name() const override { return name_; }
  std::string PropName() const override { return prop_; }
  std::vector<std::string> PropNames() const override { return {prop_, "Name"}; }
  PropKind KindOf(const std::string& prop) const override {
    return prop == "Checked" ? PropKind::Boolean : PropKind::String;
  }
  std::string GetString(const std::string& prop) const override {
    Check();
    return prop == "Name" ? name_ : text;
  }
  void SetString(const std::string& prop, const std::string& value) override {
    Check();
    if (prop != "Name") text = value;
  }
  bool GetBool(const std::string&) const override {
    Check();
    return checked;
  }
  void SetBool(const std::string&, bool value) override {
    Check();
    checked = value;
  }

  std::string text;
  bool checked = false;
  bool fail = false;  // every access throws

 private:
  void Check() const {
    if (fail) throw std::runtime_error("control is gone");
  }
  std::string name_;
  std::string prop_;
};

}  // namespace orvelle::test
