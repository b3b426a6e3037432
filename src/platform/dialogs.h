// Dialog seam: the folder, open-file and save-file choosers. Abstract so that tests (and
// builds without a desktop) can answer them.
#pragma once

#include <string>

namespace orvelle {

class DialogService {
 public:
  virtual ~DialogService() = default;
  // The chosen folder, or `folder` unchanged when the user cancels.
  virtual std::string BrowseForFolder(const std::string& folder) = 0;
  // True when the user confirmed; `current` then holds the choice (with `multiple`, each
  // chosen path followed by CR LF).
  virtual bool SelectOpenFiles(const std::string& filter, std::string& current, bool multiple) = 0;
  // True when the user confirmed; `current` then holds the chosen path.
  virtual bool SelectSaveFile(const std::string& filter, const std::string& default_ext,
                              std::string& current) = 0;
};

// The process's dialog service; never null (without a desktop every dialog is cancelled).
DialogService& Dialogs();
// Replaces the service (tests, the window); null restores the default. Not owned.
void SetDialogs(DialogService* service);

}  // namespace orvelle
