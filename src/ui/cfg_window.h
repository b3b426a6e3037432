// The options dialog's logic: the whole option list edited as name=value text.
#pragma once

#include <string>

namespace orvelle {

class TkxProject;
class TkxInfo;

inline constexpr const char* kCfgCaption = "Config";
inline constexpr const char* kCfgEditHint = "Please add/delete/modify the options by yourself";
inline constexpr const char* kCfgOk = "&Ok";
inline constexpr const char* kCfgCancel = "Cancel";
inline constexpr const char* kCfgHelp = "Help";
inline constexpr const char* kCfgHelpHint = "Click here to see the details about the options";

// User-interface thread only. Cancel needs no logic: it leaves the options untouched.
class TkxFrmCfg {
 public:
  TkxFrmCfg(TkxProject& project, TkxInfo* info) : project_(project), info_(info) {}

  // Each showing: the main window's controls go into the options first, then the option
  // text (CR LF between lines) is what the editor shows.
  std::string FormShow();
  // The edited text replaces the option list and the main window's controls show it.
  void btnOkClick(const std::string& text);
  // Opens the local help document; the dialog stays as it is.
  void btnHelpClick();

 private:
  TkxProject& project_;
  TkxInfo* info_;  // may be null
};

}  // namespace orvelle
