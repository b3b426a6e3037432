#include "platform/dialogs.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelle {
namespace {

class AlwaysYes : public DialogService {
 public:
  std::string BrowseForFolder(const std::string&) override { return "/chosen"; }
  bool SelectOpenFiles(const std::string&, std::string& current, bool) override {
    current = "/chosen.mdb";
    return true;
  }
  bool SelectSaveFile(const std::string&, const std::string&, std::string& current) override {
    current = "/chosen.batch-tessoly";
    return true;
  }
};

TEST(DialogsTest, WithoutADesktopEveryChooserIsCancelled) {
  std::string current = "/start";
  EXPECT_EQ(Dialogs().BrowseForFolder("/start"), "/start");
  EXPECT_FALSE(Dialogs().SelectOpenFiles("All|*", current, true));
  EXPECT_FALSE(Dialogs().SelectSaveFile("All|*", ".x", current));
  EXPECT_EQ(current, "/start");

  AlwaysYes yes;
  SetDialogs(&yes);
  EXPECT_TRUE(Dialogs().SelectSaveFile("All|*", ".x", current));
  EXPECT_EQ(current, "/chosen.batch-tessoly");
  SetDialogs(nullptr);
  EXPECT_EQ(Dialogs().BrowseForFolder("/start"), "/start");
}

}  // namespace
}  // namespace orvelle
