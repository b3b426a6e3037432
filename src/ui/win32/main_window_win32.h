// The main window for Win32: every component of the form over TkxFrmTessolyMain's logic.
// Includes <windows.h>: for *_win32.cpp files only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/main_texts.h"
#include "ui/main_window.h"
#include "ui/win32/win32_ui.h"

#include <shellapi.h>

namespace orvelle::win32 {

class MainWindow : public TkxMainView {
 public:
  MainWindow(TkxProject& project, TkxInfo* info);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the window and its components and runs FormCreate; null on failure.
  HWND Create();
  HWND Handle() const { return hwnd_; }
  TkxFrmMain& Logic() { return *logic_; }
  // A component by its name ("eSource", "bCreate", "lViewer", "ToolBar", ...); null if none.
  HWND Control(const std::string& name) const;
  // The About command's target (the about window, made after this one).
  std::function<void()> OnAbout;

  // TkxMainView
  std::string FieldText(TkxField field) const override;
  void SetFieldText(TkxField field, const std::string& text) override;
  bool SubdirChecked() const override;
  void SetSubdirChecked(bool checked) override;
  void FocusField(TkxField field) override;
  void SetCaption(const std::string& caption) override;
  void SetActionEnabled(TkxAction action, bool enabled) override;
  void SetButtonAction(TkxButton button, TkxAction action) override;
  void RowsChanged(int count) override;
  void RowChanged(int row) override;
  std::vector<int> SelectedRows() const override;
  void ShowConfig(TkxFrmCfg& cfg) override;
  void ShowAbout() override;
  void StartRepeatTimer(int milliseconds) override;
  void StopRepeatTimer() override;
  void Close() override;

  LRESULT Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 private:
  void CreateComponents();
  void Layout();
  void Paint();
  void OnCommand(int id);
  LRESULT OnNotify(NMHDR* header);
  void OnDropFiles(HDROP drop);
  void OnListMenu(int x, int y);
  void OnRecentMenu();
  void RefreshButton(TkxButton button);
  HWND ButtonWindow(TkxButton button) const;
  HWND FieldWindow(TkxField field) const;

  TkxMainTexts texts_;
  std::unique_ptr<TkxFrmTessolyMain> logic_;
  HWND hwnd_ = nullptr;
  HWND toolbar_ = nullptr;
  HWND tips_ = nullptr;
  HWND eSource_ = nullptr, bSource_ = nullptr, bSourceFile_ = nullptr, cSubdir_ = nullptr,
       bSearch_ = nullptr;
  HWND eTarget_ = nullptr, bTarget_ = nullptr, bView_ = nullptr, bSearchConvert_ = nullptr,
       bCreate_ = nullptr;
  HWND lSource_ = nullptr, lTarget_ = nullptr;
  HWND lViewer_ = nullptr;
  HIMAGELIST imgList_ = nullptr;
  RECT pAction_{}, pSource_{}, pTarget_{}, pViewer_{};
  std::vector<std::wstring> tool_text_;  // the tool bar keeps pointers to its captions
};

}  // namespace orvelle::win32
