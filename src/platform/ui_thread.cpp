#include "platform/ui_thread.h"

#include <atomic>

namespace orvelle {

namespace {
std::atomic<UiDispatcher*> g_ui{nullptr};  // read by worker threads, set by the UI thread
}  // namespace

UiDispatcher* Ui() { return g_ui.load(); }

void SetUi(UiDispatcher* dispatcher) { g_ui.store(dispatcher); }

}  // namespace orvelle
