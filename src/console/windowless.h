// Start-up of a build without a window, where every batch runs in the console.
#pragma once

#include <string>

#include "project/types.h"

namespace orvelle {

class TkxMain;

// What the program prints on standard error when it would need a window it does not have.
extern const char* const kNoWindowHint;

namespace console {

// Runs the batch the command line named in the console, whatever "PureConsole" says, and
// returns the exit code. A web source (one that holds "http") cannot be read without the
// window: the hint is printed and 2 returned; so is the nothing-to-run text when the program
// was started without an argument and no default project lies beside it.
int RunWithoutWindow(TkxProject& project, TkxMain& main, const std::string& first_arg);

}  // namespace console
}  // namespace orvelle
