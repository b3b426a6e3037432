#include "ui/gui.h"

namespace orvelle {

// The window layer exists for Windows only; its logic is tested through TkxFrmMain.
int RunWindowApplication() { return -1; }
bool HasWindow() { return false; }

}  // namespace orvelle
