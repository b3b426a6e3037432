#include "console/report.h"

#include <nlohmann/json.hpp>

#include "batch/batch.h"
#include "console/summary.h"
#include "console/terminal.h"
#include "platform/text.h"

namespace orvelle::console {

namespace {

using Json = nlohmann::ordered_json;

const char* StateName(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kCompacted:
      return "success";
    case FileOutcome::kFailed:
      return "failure";
    case FileOutcome::kSkipped:
      return "skipped";
  }
  return "failure";
}

// Unknown values are null, never a made-up number or name.
Json OrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }
Json OrNull(int64_t bytes) { return bytes < 0 ? Json() : Json(bytes); }

bool IsUtf8(const std::string& bytes) {
  try {
    (void)Json(bytes).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

}  // namespace

std::unique_ptr<ReportFile> ReportFile::Open(const std::string& path, std::string* why) {
  std::FILE* file = OpenReportFile(path, &IsReportHead, why);
  if (file == nullptr) return nullptr;
  return std::unique_ptr<ReportFile>(new ReportFile(file));
}

ReportFile::~ReportFile() {
  std::string ignored;
  Close(&ignored);
}

std::string ReportFile::Line(const TkxNode& node) {
  const FileOutcome outcome = OutcomeOf(node);
  std::string source = node.Source, target = node.Target;
  std::string message = outcome == FileOutcome::kFailed ? node.Message : std::string();
  // JSON holds text only: a name with bytes that are no UTF-8 is written escaped as the log
  // writes it (%XX, text::EscapeLine), which gives the exact bytes back, and says so.
  const bool escaped = !IsUtf8(source) || !IsUtf8(target) || !IsUtf8(message);
  if (escaped) {
    source = text::EscapeLine(source);
    target = text::EscapeLine(target);
    message = text::EscapeLine(message);
  }
  Json line;
  line["source"] = source;
  line["target"] = OrNull(target);
  line["state"] = StateName(outcome);
  line["message"] = message;
  line["bytes_before"] = OrNull(node.BytesBefore);
  line["bytes_after"] = outcome == FileOutcome::kCompacted ? OrNull(node.BytesAfter) : Json();
  line["ms"] = node.Ms;
  line["engine"] = OrNull(node.Engine);
  if (escaped) line["escaped"] = true;
  return line.dump();
}

bool ReportFile::IsReportHead(const std::string& head) {
  const std::string first = head.substr(0, head.find('\n'));
  if (first.empty()) return head.empty();
  const Json value = Json::parse(first, nullptr, false);
  return value.is_object() && value.contains("source") && value.contains("state");
}

void ReportFile::Add(const TkxNode& node) {
  const std::string line = Line(node) + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ == nullptr || !error_.empty()) return;
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    error_ = "a line could not be written";
  }
}

bool ReportFile::Close(std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ != nullptr) {
    if (std::fclose(file_) != 0 && error_.empty()) error_ = "the file could not be closed";
    file_ = nullptr;
  }
  *why = error_;
  return error_.empty();
}

}  // namespace orvelle::console
