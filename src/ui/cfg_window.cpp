#include "ui/cfg_window.h"

#include "product/info.h"
#include "project/project.h"

namespace orvelle {

std::string TkxFrmCfg::FormShow() {
  project_.StoreControls(false);
  return project_.Options().GetText();
}

void TkxFrmCfg::btnOkClick(const std::string& text) {
  project_.Options().SetText(text);
  project_.WriteControls();
}

void TkxFrmCfg::btnHelpClick() {
  if (info_ != nullptr) info_->OpenLink("h", std::string(), std::string());
}

}  // namespace orvelle
