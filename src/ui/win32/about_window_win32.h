// The about window for Win32. Free of <windows.h>; HWNDs travel as void*.
#pragma once

#include <string>

#include "ui/about_window.h"

namespace orvelle::win32 {

class AboutWindow : public TkxAboutView {
 public:
  AboutWindow(TkxProject& project, void* main_window);
  ~AboutWindow() override;
  AboutWindow(const AboutWindow&) = delete;
  AboutWindow& operator=(const AboutWindow&) = delete;

  TkxFrmTessolyAbout& Logic() { return logic_; }

  void SetLabels(const std::string& product, const std::string& version) override;
  void ShowModal() override;
  void Close() override { done_ = true; }
  void HideMainWindow() override;

  // Window procedure entry; public for the class's static procedure only.
  long long Handle(void* hwnd, unsigned msg, unsigned long long wp, long long lp);

 private:
  TkxFrmTessolyAbout logic_;
  void* main_;
  void* hwnd_ = nullptr;
  bool done_ = false;
  std::string product_;
  std::string version_;
};

}  // namespace orvelle::win32
