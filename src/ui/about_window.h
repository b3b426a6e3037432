// The about window's logic: the product's title and version over a picture, shown modally
// by the About command and closed by any click or key. Its first showing request, made at
// start-up, shows nothing and hides an unattended main window instead.
#pragma once

#include <cstdint>
#include <string>

namespace orvelle {

class TkxProject;

inline constexpr const char* kAboutNotice = "Copyright (C) 2026 The Orvelle authors";

// What the logic needs of the about window. Abstract so that it is tested without a desktop.
class TkxAboutView {
 public:
  virtual ~TkxAboutView() = default;
  virtual void SetLabels(const std::string& product, const std::string& version) = 0;
  // Shows the window modally; FormShow runs on each showing.
  virtual void ShowModal() = 0;
  virtual void Close() = 0;
  // Makes the main window fully transparent (alpha blending on, level 0).
  virtual void HideMainWindow() = 0;
};

// User-interface thread only.
class TkxFrmAbout {
 public:
  TkxFrmAbout(TkxAboutView& view, TkxProject& project) : view_(view), project_(project) {}
  virtual ~TkxFrmAbout() = default;

  void ShowAbout();
  void FormShow();
  void FormClick();
  void FormKeyPress();

  int32_t ShowCount() const { return show_count_; }
  const std::string& ProductLabel() const { return product_label_; }

  // The title as the label shows it: every "&" doubled, so none becomes an accelerator.
  static std::string ProductText(const std::string& title);

 private:
  TkxAboutView& view_;
  TkxProject& project_;
  int32_t show_count_ = 0;
  std::string product_label_;
};

// The compaction product's about window: same logic, larger picture (in its view).
class TkxFrmTessolyAbout : public TkxFrmAbout {
 public:
  using TkxFrmAbout::TkxFrmAbout;
};

}  // namespace orvelle
