#include "engine/console_main.h"

#include <cstdio>
#include <exception>

#include "engine/app.h"
#include "engine/batch.h"
#include "jobs/convertor.h"
#include "jobs/file_utils.h"
#include "platform/text.h"
#include "project/project.h"
#include "ui/info.h"

namespace orvelle {
namespace {

const char* StateWord(int32_t state) {
  switch (state) {
    case StateSuccess:
      return "Success";
    case StateFailure:
      return "Failure";
    default:
      return "Running";
  }
}

// Without a window the only ways to reach the user are standard error and the log file.
void TellUser(const std::string& message) {
  std::fprintf(stderr, "orvelle: %s\n", message.c_str());
  std::fflush(stderr);
}

}  // namespace

TkxMain::TkxMain() = default;

TkxMain::~TkxMain() = default;

std::vector<std::string> TkxMain::Log() const {
  std::lock_guard<std::mutex> lock(log_mu_);
  return log_;
}

int TkxMain::Run() {
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    log_.clear();
  }
  batch_ = std::make_unique<TkxBatch>();
  TkxJobs jobs;
  try {
    // An empty target has no folder to write into; refuse before anything is created.
    if (kxProject->Target().empty()) {
      Refuse("No target folder: the option \"Target\" is empty, so no file was processed.");
      return 2;
    }
    const bool subdirs = kxProject->Subdir();
    const std::string target = kxProject->TargetFolder();
    const std::string source = kxProject->Source();
    batch_->Setup(source, target, subdirs);
    jobs = TkxConvertor::CreateJobs(
        batch_.get(), kxProject->TargetFolder(),
        [this](TkxBatch* batch, TkxNode* node) { LogResult(batch, node); });
  } catch (const std::exception& e) {
    Refuse(std::string("The run could not start, so no file was processed: ") + e.what());
    return 2;
  }
  SetRunningJobs(jobs.JobCount());
  jobs.Start();
  if (kxInfo) kxInfo->AddCount("C", 1);
  WaitRunningJobs();
  Finish();
  return 0;
}

void TkxMain::LogResult(TkxBatch* batch, TkxNode* node) {
  std::string line = StateWord(node->State);
  line += " => ";
  line += node->Source;
  line += " => ";
  line += node->Message;
  std::lock_guard<std::mutex> lock(log_mu_);
  log_.push_back(std::move(line));
}

void TkxMain::Finish() {
  if (kxInfo && batch_) kxInfo->ReportRun(*batch_);
  WriteLog(Log());
}

void TkxMain::Refuse(const std::string& message) {
  TellUser(message);
  WriteLog({message});
}

void TkxMain::WriteLog(const std::vector<std::string>& lines) {
  const std::string path = kxProject->GetOption("LogFile");
  if (path.empty()) return;
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  try {
    TkxFileUtils::WriteFileText(path, text::Utf8ToAnsi(text), 1, false);
  } catch (const std::exception& e) {
    TellUser("The log file could not be written: " + std::string(e.what()));
  }
}

}  // namespace orvelle
