#include "app/app.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "console/console_runner.h"
#include "console/usage.h"
#include "console/windowless.h"
#include "jobs/tessoly.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "product/info.h"
#include "project/match.h"
#include "project/project.h"
#include "ui/gui.h"

namespace orvelle {

TkxApp* kxApp = nullptr;

void FillDescriptor(TkxProject& project) {
  project.JobClass = &TkxTessoly::Create;
  project.DefaultMask = "*.*db";
  project.SourceFilter = "Access Database (*.mdb;*.accdb)|*.mdb;*.accdb";
  project.TargetExt.clear();
  project.ShortName = "tessoly";
  // Composed from the fields just set, so the order of these lines matters.
  project.ProjectExt = ".batch-" + project.ShortName;
  project.ProjectFilter = "Orvelle Project|*" + project.ProjectExt;
  project.Title = "Orvelle";
  project.OverwriteDefault = false;
  project.Version = kProductVersion;
  project.TargetDelimiter = kPathDelim;
}

bool IsConsoleRun(const TkxProject& project) {
  return project.PureConsole() && project.Source().find("http") == std::string::npos;
}

namespace {

// The process-wide objects; they go in the reverse order of their creation, each reference
// cleared before its object is freed, whether the run returns or throws.
struct ProcessObjects {
  std::unique_ptr<TkxApp> app;
  std::unique_ptr<TkxInfo> info;
  std::unique_ptr<TkxProject> project;
  std::unique_ptr<TkxMain> main;
  std::unique_ptr<TkxMatchBase> match;

  ~ProcessObjects() {
    kxMatch = nullptr;
    match.reset();
    kxMain = nullptr;
    main.reset();
    kxProject = nullptr;
    project.reset();
    kxInfo = nullptr;
    info.reset();
    kxApp = nullptr;
    app.reset();
  }
};

int Run(int argc, char** argv) {
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  const char* first = argc > 1 && argv[1] != nullptr ? argv[1] : "";
  // Without a window the usual switches of a command-line program are answered first, before
  // anything beside the program is read or counted.
  if (!HasWindow()) {
    if (auto code = console::AnswerArgument(first, kProductVersion, stdout, stderr)) return *code;
  }
  ProcessObjects objects;

  objects.app = std::make_unique<TkxApp>(fs::ProgramPath(argv0), first);
  kxApp = objects.app.get();
  objects.info = std::make_unique<TkxInfo>(kxApp->ExePath);
  kxInfo = objects.info.get();
  objects.project = std::make_unique<TkxProject>(kxApp->ExePath, kxApp->FirstArg);
  kxProject = objects.project.get();
  objects.main = std::make_unique<TkxMain>();
  kxMain = objects.main.get();

  FillDescriptor(*kxProject);
  kxProject->OnNotice = [](const std::string& param, const std::string& extra) {
    if (kxInfo != nullptr) kxInfo->OpenLink("", param, extra);
  };
  if (kxProject->ParseCommandLine() == TkxProject::CommandLineResult::ExitAfterNotice) return 0;
  // A project named on the command line, or one that is there but cannot be read, is not
  // passed over in silence; a missing default project is the normal case.
  if (!kxProject->LoadError.empty() &&
      (kxProject->ProjectFile == kxApp->FirstArg || fs::FileExists(kxProject->ProjectFile))) {
    std::fprintf(stderr, "orvelle: the project was not loaded: %s\n",
                 text::EscapeLine(kxProject->LoadError).c_str());
  }

  objects.match = std::make_unique<TkxMatch>();
  kxMatch = objects.match.get();

  if (IsConsoleRun(*kxProject)) return kxMain->Run();
  if (!HasWindow()) return console::RunWithoutWindow(*kxProject, *kxMain, kxApp->FirstArg);

  // The windows exist in the Windows build only; elsewhere the console run is explained.
  const int window_code = RunWindowApplication();
  if (window_code >= 0) return window_code;
  std::fprintf(stderr, "%s\n", kNoWindowHint);
  return 2;
}

}  // namespace

int RunApplication(int argc, char** argv) {
  return RunGuarded([argc, argv] { return Run(argc, argv); });
}

int RunGuarded(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvelle: the run stopped: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "orvelle: the run stopped on an unknown failure\n");
  }
  return 1;
}

}  // namespace orvelle
