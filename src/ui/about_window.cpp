#include "ui/about_window.h"

#include "project/project.h"

namespace orvelle {

std::string TkxFrmAbout::ProductText(const std::string& title) {
  std::string out;
  for (char c : title) {
    out += c;
    if (c == '&') out += '&';
  }
  return out;
}

void TkxFrmAbout::ShowAbout() {
  if (show_count_ > 0) {
    view_.ShowModal();
    ++show_count_;
    return;
  }
  // The start-up call: nothing shows; an unattended window run is kept out of sight.
  if (project_.PureConsole()) view_.HideMainWindow();
  ++show_count_;
}

void TkxFrmAbout::FormShow() {
  if (product_label_.empty()) {
    product_label_ = ProductText(project_.Title);
    view_.SetLabels(product_label_, project_.Version);
  }
  ++show_count_;
}

void TkxFrmAbout::FormClick() {
  if (show_count_ > 1) view_.Close();
}

void TkxFrmAbout::FormKeyPress() { FormClick(); }

}  // namespace orvelle
