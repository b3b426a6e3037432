// A process-wide project and filter for tests of the batch and the jobs: installed as
// kxProject and kxMatch for the life of the fixture, with this product's descriptor.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/app.h"
#include "jobs/tessoly.h"
#include "platform/path.h"
#include "project/match.h"
#include "project/project.h"
#include "test_support.h"

namespace orvelle::testing {

class ProjectFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    project_ = std::make_unique<TkxProject>(tmp_.Sub("program/orvelle"), "");
    project_->JobClass = &TkxTessoly::Create;
    project_->ShortName = "tessoly";
    project_->OverwriteDefault = false;
    project_->TargetDelimiter = kPathDelim;
    saved_project_ = kxProject;
    saved_match_ = kxMatch;
    kxProject = project_.get();
    kxMatch = &match_;
  }
  void TearDown() override {
    kxProject = saved_project_;
    kxMatch = saved_match_;
  }
  void Set(const std::string& name, const std::string& value) {
    project_->Options().SetValue(name, value);
  }
  // A path under the fixture's temporary folder.
  std::string Path(const std::string& relative) const { return tmp_.Sub(relative); }
  std::string Dir(const std::string& relative) const { return tmp_.Sub(relative) + kPathDelim; }

  test::ScopedTempDir tmp_;
  std::unique_ptr<TkxProject> project_;
  TkxMatch match_;

 private:
  TkxProject* saved_project_ = nullptr;
  TkxMatchBase* saved_match_ = nullptr;
};

}  // namespace orvelle::testing
