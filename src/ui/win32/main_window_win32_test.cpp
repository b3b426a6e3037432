#include "ui/win32/main_window_win32.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "app/app.h"
#include "platform/path.h"
#include "platform/win32_util.h"
#include "project/project.h"
#include "test_support.h"

namespace orvelle::win32 {
namespace {

std::string Text(HWND h) {
  wchar_t buffer[512] = {};
  GetWindowTextW(h, buffer, 512);
  return Narrow(buffer);
}

// Where a control sits in its parent's client area.
RECT PlaceOf(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// A drop as the shell delivers it: a DROPFILES block with wide names.
HGLOBAL MakeDrop(POINT pt, const std::vector<std::string>& paths) {
  std::wstring names;
  for (const auto& p : paths) names += Widen(p) + L'\0';
  names += L'\0';
  const size_t bytes = sizeof(DROPFILES) + names.size() * sizeof(wchar_t);
  HGLOBAL mem = GlobalAlloc(GHND, bytes);
  auto* df = static_cast<DROPFILES*>(GlobalLock(mem));
  df->pFiles = sizeof(DROPFILES);
  df->pt = pt;
  df->fNC = FALSE;
  df->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(df) + sizeof(DROPFILES), names.data(),
              names.size() * sizeof(wchar_t));
  GlobalUnlock(mem);
  return mem;
}

class UiWin32MainWindow : public ::testing::Test {
 protected:
  UiWin32MainWindow() {
    project_ = std::make_unique<TkxProject>(tmp_.Sub("orvelle.exe"), "");
    FillDescriptor(*project_);
    saved_ = kxProject;
    kxProject = project_.get();
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&icc);
    window_ = std::make_unique<MainWindow>(*project_, nullptr);
    hwnd_ = window_->Create();
  }
  ~UiWin32MainWindow() override {
    window_.reset();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    kxProject = saved_;
  }
  POINT CentreOf(const std::string& control) {
    const RECT r = PlaceOf(window_->Control(control));
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  }

  test::ScopedTempDir tmp_;
  std::unique_ptr<TkxProject> project_;
  TkxProject* saved_ = nullptr;
  std::unique_ptr<MainWindow> window_;
  HWND hwnd_ = nullptr;
};

TEST_F(UiWin32MainWindow, ComponentsHaveTheirTextsPlacesAndOrder) {
  ASSERT_NE(hwnd_, nullptr);
  EXPECT_EQ(Text(hwnd_), "Orvelle - " + project_->DefaultProjectPath());
  EXPECT_EQ(Text(window_->Control("bCreate")), "&Compact");
  EXPECT_EQ(Text(window_->Control("bSearch")), "Search");
  EXPECT_EQ(Text(window_->Control("bSource")), "Folder");
  EXPECT_EQ(Text(window_->Control("bSourceFile")), "Files");
  EXPECT_EQ(Text(window_->Control("cSubdir")), "Su&b folders");
  EXPECT_EQ(Text(window_->Control("lblSource")), "&Source");
  EXPECT_FALSE(IsWindowVisible(window_->Control("bSearchConvert")));

  const RECT source = PlaceOf(window_->Control("eSource"));
  const RECT target = PlaceOf(window_->Control("eTarget"));
  EXPECT_EQ(source.right - source.left, 500);
  EXPECT_EQ(source.bottom - source.top, 21);
  EXPECT_EQ(target.left, source.left);
  EXPECT_EQ(target.top - source.top, 32 - 10 + 6);
  EXPECT_EQ(PlaceOf(window_->Control("bCreate")).left - source.left, 710 - 50);

  // The tab order of each row follows the creation order.
  const char* order[] = {"eSource", "bSource", "bSourceFile",    "cSubdir", "bSearch",
                         "eTarget", "bTarget", "bSearchConvert", "bCreate", "bView"};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    HWND h = window_->Control(order[i]);
    HWND next = GetWindow(h, GW_HWNDNEXT);
    while (next != nullptr && (GetWindowLongW(next, GWL_STYLE) & WS_TABSTOP) == 0) {
      next = GetWindow(next, GW_HWNDNEXT);
    }
    EXPECT_EQ(next, window_->Control(order[i + 1])) << order[i];
  }

  HWND list = window_->Control("lViewer");
  const int widths[] = {30, 370, 370};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ListView_GetColumnWidth(list, i), widths[i]);
  EXPECT_EQ(ImageList_GetImageCount(ListView_GetImageList(list, LVSIL_SMALL)), 13);
  EXPECT_EQ(SendMessageW(window_->Control("ToolBar"), TB_BUTTONCOUNT, 0, 0), 12);
}

TEST_F(UiWin32MainWindow, DropsAreRoutedByTheControlUnderThePoint) {
  const std::string a = tmp_.Sub("d\\a.mdb");
  const std::string b = tmp_.Sub("e\\b.mdb");
  test::WriteBytes(a, "a");
  test::WriteBytes(b, "b");
  SendMessageW(hwnd_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(CentreOf("bSearch"), {a})),
               0);
  EXPECT_EQ(window_->Logic().RowCount(), 0);
  EXPECT_EQ(Text(window_->Control("eSource")), "");

  SendMessageW(hwnd_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(CentreOf("lViewer"), {a, b})),
               0);
  EXPECT_EQ(window_->Logic().RowCount(), 2);
  EXPECT_EQ(ListView_GetItemCount(window_->Control("lViewer")), 2);
  EXPECT_EQ(Text(window_->Control("eTarget")), tmp_.Sub("d\\"));

  SendMessageW(hwnd_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(CentreOf("eSource"), {b, a})),
               0);
  EXPECT_EQ(Text(window_->Control("eSource")), b);
  EXPECT_EQ(window_->Logic().RowCount(), 2);
}

}  // namespace
}  // namespace orvelle::win32
