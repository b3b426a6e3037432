#include "console/console_runner.h"

#include <cstdio>
#include <exception>

#include "batch/batch.h"
#include "console/run_watch.h"
#include "jobs/convertor.h"
#include "platform/file_utils.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "product/info.h"
#include "project/file_address.h"
#include "project/option_names.h"
#include "project/project.h"
#include "project/regex.h"

namespace orvelle {

TkxMain* kxMain = nullptr;

namespace {

// Without a window the only ways to reach the user are standard error and the log file.
// Names in the message are escaped, so that none can end the line or forge another.
void TellUser(const std::string& message) {
  std::fprintf(stderr, "orvelle: %s\n", text::EscapeLine(message).c_str());
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
  watch_ = std::make_unique<console::RunWatch>(stderr);
  TkxJobs jobs;
  const std::string not_run = ", so no file was processed.";
  try {
    // An empty target has no folder to write into; refuse before anything is created.
    if (kxProject->Target().empty()) {
      Refuse("No target folder: the option \"Target\" is empty" + not_run);
      return 2;
    }
    if (kxProject->Source().empty()) {
      Refuse("No source: the option \"Source\" is empty" + not_run);
      return 2;
    }
    if (IsNonLocalAddress(FileAddressToPath(kxProject->Target()))) {
      Refuse("The target \"" + kxProject->Target() + "\" is an address, not a folder" + not_run);
      return 2;
    }
    std::string why;
    const std::string source = kxProject->Source();
    const std::string source_dir = ExtractFilePath(TkxBatch::NormalizePath(source));
    // Looked at once before the search, and before anything is created: a folder that
    // cannot be listed would only give an empty run.
    if (!fs::EnumerateFolder(
            source_dir, "*", kAcceptAll, [](const fs::DirEntry&) { return false; }, &why)) {
      Refuse("The source folder \"" + (source_dir.empty() ? std::string(".") : source_dir) +
             "\" cannot be searched (" + why + ")" + not_run);
      return 2;
    }
    const bool subdirs = kxProject->Subdir();
    std::string target_error;
    const std::string target = kxProject->TargetFolder(&target_error);
    if (target.empty()) {
      Refuse("No target folder: \"" + kxProject->Target() + "\" names none" + not_run);
      return 2;
    }
    const std::string report = kxProject->GetOption(option::kReport);
    if (!watch_->OpenReport(report, &why)) {
      Refuse("The report file \"" + report + "\" cannot be written (" + why + ")" + not_run);
      return 2;
    }
    if (!target_error.empty()) {
      Refuse("The target folder \"" + target + "\" cannot be created (" + target_error + ")" +
             not_run);
      return 2;
    }
    WarnAboutOptions();
    batch_->Setup(source, target, subdirs);
    jobs = TkxConvertor::CreateJobs(
        batch_.get(), target, [this](TkxBatch* batch, TkxNode* node) { LogResult(batch, node); });
  } catch (const std::exception& e) {
    Refuse(std::string("The run could not start, so no file was processed: ") + e.what());
    return 2;
  }
  SetRunningJobs(jobs.JobCount());
  std::string start_error;
  const int started = jobs.Start(&start_error);
  if (started == 0) {
    // The jobs that could not start have counted themselves down already.
    batch_->Terminate();
    WaitRunningJobs();
    Refuse("No worker thread could be started (" + start_error + ")" + not_run);
    return 2;
  }
  if (started < jobs.JobCount()) {
    TellUser("Only " + std::to_string(started) + " of " + std::to_string(jobs.JobCount()) +
             " worker threads could be started (" + start_error + "); the run goes on with " +
             std::to_string(started) + ".");
  }
  watch_->Begin(batch_.get());
  if (kxInfo) kxInfo->AddCount("C", 1);
  WaitRunningJobs();
  const std::string report_trouble = watch_->End();
  for (const std::string& problem : batch_->SearchProblems()) TellUser(problem);
  if (!report_trouble.empty()) TellUser(report_trouble);
  Finish();
  watch_->PrintSummary();
  return 0;
}

void TkxMain::WarnAboutOptions() {
  const std::string reg_ext = kxProject->GetOption(option::kRegExt);
  if (!reg_ext.empty()) {
    try {
      regex::Compile(reg_ext, regex::kIgnoreCase);
    } catch (const regex::RegexError& e) {
      TellUser("The expression \"" + reg_ext + "\" of \"RegExt\" does not compile (" + e.what() +
               "); it is not applied, so every file the mask accepts is processed.");
    }
  }
  const int threads = kxProject->ThreadsCount();
  if (threads > kMaxJobCount) {
    TellUser("\"ThreadsCount\" is " + std::to_string(threads) + "; at most " +
             std::to_string(kMaxJobCount) + " files are compacted side by side.");
  }
}

void TkxMain::LogResult(TkxBatch* batch, TkxNode* node) {
  // A file name may hold a line break or bytes that are no text: escaped, it stays one line
  // that still names that file exactly.
  std::string line = StateWord(node->State);
  line += " => ";
  line += text::EscapeLine(node->Source);
  line += " => ";
  line += text::EscapeLine(node->Message);
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    log_.push_back(std::move(line));
  }
  if (watch_) watch_->Done(*node);
}

void TkxMain::Finish() {
  if (kxInfo && batch_) kxInfo->ReportRun(*batch_);
  WriteLog(Log());
}

void TkxMain::Refuse(const std::string& message) {
  TellUser(message);
  WriteLog({text::EscapeLine(message)});
}

void TkxMain::WriteLog(const std::vector<std::string>& lines) {
  const std::string path = kxProject->GetOption(option::kLogFile);
  if (path.empty()) return;
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  try {
    TkxFileUtils::WriteFileText(path, text::EscapedLineToAnsi(text), 1, false);
  } catch (const std::exception& e) {
    TellUser("The log file could not be written: " + std::string(e.what()));
  }
}

}  // namespace orvelle
