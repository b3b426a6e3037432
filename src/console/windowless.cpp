#include "console/windowless.h"

#include <cstdio>

#include "console/usage.h"
#include "engine/app.h"
#include "engine/console_main.h"
#include "platform/fs.h"
#include "project/project.h"

namespace orvelle::console {

int RunWithoutWindow(TkxProject& project, TkxMain& main, const std::string& first_arg) {
  if (project.Source().find("http") != std::string::npos) {
    std::fprintf(stderr, "%s\n", kNoWindowHint);
    return 2;
  }
  if (first_arg.empty() && !fs::FileExists(project.DefaultProjectPath())) {
    std::fprintf(stderr, "%s\n", kNothingToRun);
    return 2;
  }
  return main.Run();
}

}  // namespace orvelle::console
