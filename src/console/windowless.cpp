#include "console/windowless.h"

#include <cstdio>

#include "console/console_runner.h"
#include "console/usage.h"
#include "platform/fs.h"
#include "project/project.h"

namespace orvelle {

const char* const kNoWindowHint =
    "orvelle: this build has no window; start a console run instead, for example: "
    "orvelle \"-P:Source=DIR/*.*db,Target=OUT,PureConsole=1,LogFile=run.log\"";

namespace console {

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

}  // namespace console
}  // namespace orvelle
