#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/shell.h"
#include "platform/win32_owner.h"

namespace orvelle {
namespace {

TEST(ShellWin32, OwnerWindowAndRecordedOpens) {
  EXPECT_EQ(win32::OwnerWindow(), nullptr) << "no window yet";
  int window = 0;
  win32::SetOwnerWindow(&window);
  EXPECT_EQ(win32::OwnerWindow(), &window);
  win32::SetOwnerWindow(nullptr);

  std::vector<std::string> opened;
  shell::SetOpenerForTesting([&](const std::string& target) { opened.push_back(target); });
  shell::Open("https://www.orvelle.example/en/tessoly/download.htm");
  shell::Open("C:\\Data\\");
  shell::SetOpenerForTesting(nullptr);
  EXPECT_EQ(opened, (std::vector<std::string>{"https://www.orvelle.example/en/tessoly/download.htm",
                                              "C:\\Data\\"}));
}

}  // namespace
}  // namespace orvelle
