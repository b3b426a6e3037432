// The application object and the process-wide references. Start-up creates the objects in
// the order App, Info, Project, Main, Match and shut-down frees them in reverse; each
// reference is null while its object does not exist.
#pragma once

#include <functional>
#include <string>

#include "orvelle_version.h"
#include "project/types.h"

namespace orvelle {

class TkxApp {
 public:
  TkxApp(std::string exe_path, std::string first_arg)
      : ExePath(std::move(exe_path)), FirstArg(std::move(first_arg)) {}
  const std::string ExePath;   // full path of the running program
  const std::string FirstArg;  // first command-line argument, empty when none
};

extern TkxApp* kxApp;

// Fills the application descriptor of `project` with this product's values.
void FillDescriptor(TkxProject& project);

// True when the options ask for a run without a window: "PureConsole" is true and "Source"
// holds no "http" (letter case counts).
bool IsConsoleRun(const TkxProject& project);

// The whole program: start-up, the console-or-window decision, shut-down. Returns the
// process exit code.
int RunApplication(int argc, char** argv);

// Runs `body` and returns its exit code; a failure escaping it is told on standard error and
// gives 1.
int RunGuarded(const std::function<int()>& body);

}  // namespace orvelle
