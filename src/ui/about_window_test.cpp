#include "ui/about_window.h"

#include <gtest/gtest.h>

#include "project/project.h"
#include "test_support.h"

namespace orvelle {
namespace {

// Records what the about window shows.
class StandInAboutView : public TkxAboutView {
 public:
  void SetLabels(const std::string& p, const std::string& v) override {
    product = p;
    version = v;
    ++label_sets;
  }
  void ShowModal() override {
    ++shown;
    if (logic) logic->FormShow();
    if (while_shown) while_shown();
  }
  void Close() override { ++closed; }
  void HideMainWindow() override { ++main_hidden; }

  TkxFrmAbout* logic = nullptr;  // FormShow runs on each showing when set
  std::function<void()> while_shown;
  std::string product, version;
  int label_sets = 0, shown = 0, closed = 0, main_hidden = 0;
};

class FrmAboutTest : public ::testing::Test {
 protected:
  FrmAboutTest() : project_(tmp_.Sub("orvelle"), ""), about_(view_, project_) {
    project_.Title = "Tom & Jerry & Co";
    project_.Version = "1.2";
    view_.logic = &about_;
  }
  test::ScopedTempDir tmp_;
  TkxProject project_;
  StandInAboutView view_;
  TkxFrmTessolyAbout about_;
};

TEST_F(FrmAboutTest, StartUpCallShowsNothingThenEachCommandShowsAndClosesOnFirstClick) {
  about_.ShowAbout();
  EXPECT_EQ(view_.shown, 0);
  EXPECT_EQ(view_.main_hidden, 0);

  view_.while_shown = [this] { about_.FormClick(); };
  about_.ShowAbout();
  view_.while_shown = [this] { about_.FormKeyPress(); };
  about_.ShowAbout();
  EXPECT_EQ(view_.shown, 2);
  EXPECT_EQ(view_.closed, 2);
  EXPECT_EQ(view_.label_sets, 1);
  EXPECT_EQ(view_.product, "Tom && Jerry && Co");
  EXPECT_EQ(view_.version, "1.2");
}

TEST_F(FrmAboutTest, PureConsoleHidesTheMainWindowAtStartUp) {
  project_.Options().SetValue("PureConsole", "True");
  about_.ShowAbout();
  EXPECT_EQ(view_.main_hidden, 1);
  EXPECT_EQ(view_.shown, 0);
}

TEST_F(FrmAboutTest, AClickBeforeAnyShowingClosesNothing) {
  about_.FormClick();
  EXPECT_EQ(view_.closed, 0);
}

}  // namespace
}  // namespace orvelle
