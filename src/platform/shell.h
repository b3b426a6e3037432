// Shell seam: open a path or address with the program the desktop associates with it.
#pragma once

#include <functional>
#include <string>

namespace orvelle::shell {

// Opens `target` (a file, folder, web or mailto address) with the default program.
// Win32: ShellExecuteW with the default verb. POSIX, where only console runs exist: nothing
// is started; the address is printed on standard error ("orvelle: to open: ADDRESS",
// escaped as log lines are, blanks as %20). Failures are not reported.
void Open(const std::string& target);

// Tests replace the shell with a recorder; an empty function restores the real shell.
using Opener = std::function<void(const std::string&)>;
void SetOpenerForTesting(Opener opener);

// The platform's own opening (shell_posix.cpp / shell_win32.cpp); Open calls it for a
// non-empty target when no test opener is set.
void OpenWithDesktop(const std::string& target);

}  // namespace orvelle::shell
