#include <atomic>

#include "platform/dialogs.h"

namespace orvelle {
namespace {

// Without a desktop nobody can answer a chooser, so every one of them is cancelled.
class CancellingDialogs : public DialogService {
 public:
  std::string BrowseForFolder(const std::string& folder) override { return folder; }
  bool SelectOpenFiles(const std::string&, std::string&, bool) override { return false; }
  bool SelectSaveFile(const std::string&, const std::string&, std::string&) override {
    return false;
  }
};

CancellingDialogs g_default;
std::atomic<DialogService*> g_service{nullptr};

}  // namespace

DialogService& Dialogs() {
  DialogService* service = g_service.load();
  return service != nullptr ? *service : g_default;
}

void SetDialogs(DialogService* service) { g_service.store(service); }

}  // namespace orvelle
