#include "console/run_watch.h"

#include "batch/batch.h"

namespace orvelle::console {

namespace {

// How far back from the last node handed out the progress line looks for one in hand.
constexpr int kInHandLookBack = 256;

}  // namespace

RunWatch::RunWatch(std::FILE* err) : err_(err), started_(std::chrono::steady_clock::now()) {}

RunWatch::~RunWatch() { progress_.reset(); }

bool RunWatch::OpenReport(const std::string& path, std::string* why) {
  if (path.empty()) return true;
  report_ = ReportFile::Open(path, why);
  return report_ != nullptr;
}

void RunWatch::Begin(TkxBatch* batch) {
  batch_ = batch;
  progress_ =
      std::make_unique<ProgressLine>(err_, [this](size_t width) { return ProgressNow(width); });
}

void RunWatch::Done(const TkxNode& node) {
  if (report_) report_->Add(node);
  {
    std::lock_guard<std::mutex> lock(mu_);
    tally_.Count(node);
  }
  if (progress_) progress_->Poke();
}

RunTally RunWatch::Tally() const {
  RunTally tally;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tally = tally_;
  }
  // Outside the watch's lock: the progress line takes the batch's lock first.
  if (batch_ != nullptr) tally.found = batch_->Count();
  return tally;
}

std::string RunWatch::ProgressNow(size_t width) {
  std::string current;
  if (batch_ != nullptr) {
    const TkxNodeList& nodes = batch_->LockNodes();
    const int handed = batch_->NextIndex();
    for (int i = handed - 1; i >= 0 && i >= handed - kInHandLookBack; --i) {
      if (i < static_cast<int>(nodes.size()) && nodes[i]->State == StatePending) {
        current = nodes[i]->Source;
        break;
      }
    }
    batch_->UnlockNodes();
  }
  return ProgressText(Tally(), current, width);
}

std::string RunWatch::End() {
  if (progress_) progress_->Stop();
  std::string trouble;
  if (report_ && !report_->Close(&trouble)) trouble = "The report could not be written: " + trouble;
  return trouble;
}

void RunWatch::PrintSummary() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  std::fprintf(err_, "%s\n", SummaryLine(Tally(), seconds).c_str());
  std::fflush(err_);
}

}  // namespace orvelle::console
