// The windowed application: the main window, the options dialog and the about window over
// the process-wide objects (kxProject, kxInfo), with the message loop.
#pragma once

namespace orvelle {

// Runs the windows until the main window closes and returns the process exit code; -1 when
// this build has no windows (start-up then explains the console run instead).
int RunWindowApplication();
// False for a build without windows: every run is then a console run.
bool HasWindow();

}  // namespace orvelle
