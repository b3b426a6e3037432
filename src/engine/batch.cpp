#include "engine/batch.h"

#include <cctype>

#include "engine/app.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "project/match.h"
#include "project/option_list.h"
#include "project/project.h"
#include "project/regex.h"

namespace orvelle {

namespace {

// Attribute bits that decide acceptance; the higher ones (compressed and the like) do not.
constexpr uint32_t kDecidingAttrs = 0x1FF;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int hi, lo;
    if (text[i] == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 &&
        (lo = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string NormalizeWindows(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.empty()) return path;
  if ((path[0] >= '1' && path[0] <= '9') || path.find(':') == std::string::npos) {
    path = "\\\\" + path;
  }
  return path;
}

// file:///data/a.mdb and file://localhost/data/a.mdb are /data/a.mdb; another host keeps
// its network form //host/path; percent escapes are decoded, as file managers write them.
std::string NormalizePosix(const std::string& address, const std::string& rest) {
  size_t slashes = 0;
  while (5 + slashes < address.size() && address[5 + slashes] == '/') ++slashes;
  if (rest.empty()) return rest;
  std::string path;
  if (slashes == 2) {
    auto end = rest.find('/');
    std::string host = rest.substr(0, end);
    std::string tail = end == std::string::npos ? "/" : rest.substr(end);
    path = text::SameTextAscii(host, "localhost") ? tail : "//" + rest;
  } else if (slashes == 0) {
    path = rest;
  } else {
    path = "/" + rest;
  }
  return PercentDecode(path);
}

}  // namespace

TkxBatch::TkxBatch() : TkxThread(false) {}

TkxBatch::~TkxBatch() {
  Terminate();
  WaitFor();
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    closing_ = true;
    search_done_ = true;
  }
  node_added_.notify_all();
  // A worker may still be finishing; its nodes and this lock must outlive it.
  std::unique_lock<std::mutex> lock(workers_mu_);
  workers_cv_.wait(lock, [this] { return workers_ == 0; });
}

std::string TkxBatch::NormalizePath(const std::string& text) {
  if (text.compare(0, 5, "file:") != 0) return text;
  std::string rest = regex::RegexReplace(text, "^file:/*", "", 0);
  if (kPathDelim == '\\') return NormalizeWindows(rest);
  return NormalizePosix(text, rest);
}

void TkxBatch::Setup(const std::string& source, const std::string& target, bool subdirs) {
  std::string source_path = NormalizePath(source);
  std::string target_dir = NormalizePath(target);
  if (target_dir.empty()) throw fs::FileError("Unable to create directory");
  char delimiter = kxProject ? kxProject->TargetDelimiter : kPathDelim;
  if (delimiter == kPathDelim && !fs::DirectoryExists(target_dir)) {
    // A folder that cannot be made is reported per file by the jobs.
    fs::ForceDirectories(target_dir);
  }
  // The search reads these fields while it runs, so a second call leaves them alone.
  if (Started()) return;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  TargetDir = target_dir;
  Mask = ExtractFileName(source_path);
  mask_regex_ = WildcardToRegex(Mask);
  SourceDir = ExtractFilePath(source_path);
  Subdirs = subdirs;
  if (!search_done_) Start();
}

void TkxBatch::AddListedFile(const std::string& path) {
  AddFile(path);
  MarkSearchDone();
}

void TkxBatch::AddFile(const std::string& path) {
  if (!Accepts(path)) return;
  TkxNode* node;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto owned = std::make_unique<TkxNode>();
    owned->Index = static_cast<int32_t>(nodes_.size());
    owned->Source = path;
    node = owned.get();
    nodes_.push_back(std::move(owned));
  }
  node_added_.notify_one();
  if (OnAdd) OnAdd(this, node);
}

bool TkxBatch::Accepts(const std::string& path) const {
  TkxMatchBase* match = kxMatch;
  if (!match) return true;
  if (!match->IsMatch(path, mask_regex_)) return false;
  std::string reg_ext;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    reg_ext = reg_ext_;
  }
  return reg_ext.empty() || match->IsMatch(path, reg_ext);
}

TkxNode* TkxBatch::NextNode() {
  std::unique_lock<std::recursive_mutex> lock(mu_);
  for (;;) {
    if (closing_) return nullptr;
    if (next_index_ < static_cast<int>(nodes_.size())) return nodes_[next_index_++].get();
    // Tested together with the list under the lock: a node added just before the search
    // ended is still handed out.
    if (search_done_) {
      exhausted_ = true;
      return nullptr;
    }
    ++waiting_;
    waiting_cv_.notify_all();
    node_added_.wait(lock);
    --waiting_;
  }
}

void TkxBatch::AwaitWaiting(int count) const {
  std::unique_lock<std::recursive_mutex> lock(mu_);
  waiting_cv_.wait(lock, [&] { return waiting_ >= count; });
}

void TkxBatch::Decide(TkxNode* node, int32_t state, const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  node->State = state;
  node->Message = message;
}

void TkxBatch::SetMessage(TkxNode* node, const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  node->Message = message;
}

void TkxBatch::AddSuccess() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++successes_;
}

void TkxBatch::AddFailure(const std::string& message) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++failures_;
  for (const auto& known : errors_) {
    if (text::SameTextI(known, message)) return;
  }
  errors_.push_back(message);
}

int TkxBatch::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return static_cast<int>(nodes_.size());
}

int TkxBatch::Successes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return successes_;
}

int TkxBatch::Failures() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return failures_;
}

std::vector<std::string> TkxBatch::Errors() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return errors_;
}

bool TkxBatch::IsExhausted() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return exhausted_;
}

bool TkxBatch::SearchDone() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return search_done_;
}

int TkxBatch::NextIndex() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return next_index_;
}

const TkxNodeList& TkxBatch::LockNodes() {
  mu_.lock();
  return nodes_;
}

void TkxBatch::UnlockNodes() { mu_.unlock(); }

void TkxBatch::AttachWorker() {
  std::lock_guard<std::mutex> lock(workers_mu_);
  ++workers_;
}

void TkxBatch::DetachWorker() {
  std::lock_guard<std::mutex> lock(workers_mu_);
  --workers_;
  workers_cv_.notify_all();
}

void TkxBatch::MarkSearchDone() {
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    search_done_ = true;
  }
  node_added_.notify_all();
}

void TkxBatch::Execute() {
  std::string reg_ext = kxProject ? kxProject->GetOption("RegExt") : std::string();
  skip_hidden_ = kxProject && TkxOptionList::ParseBool(kxProject->GetOption("SkipHidden"), false);
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    reg_ext_ = reg_ext;
  }
  std::unordered_set<std::string> visited;
  SearchFolder(SourceDir, skip_hidden_ ? kAcceptNotHidden : kAcceptAll, visited);
  // Also after a terminate request: the workers then drain what was found and end.
  MarkSearchDone();
}

void TkxBatch::SearchFolder(const std::string& dir, uint32_t accepted,
                            std::unordered_set<std::string>& visited) {
  // A folder reached a second time (through a link) is not searched again, so a link cycle
  // cannot keep the search going for ever.
  std::string identity = fs::FolderIdentity(dir);
  if (!identity.empty() && !visited.insert(identity).second) return;

  fs::EnumerateFolder(dir, Mask, accepted, [&](const fs::DirEntry& entry) {
    if ((entry.attributes & kDecidingAttrs & ~accepted) == 0) AddFile(dir + entry.name);
    return !Terminated();
  });
  if (!Subdirs || Terminated()) return;

  // Collected first so that no folder stays open while its sub-folders are searched.
  std::vector<std::string> folders;
  // Read-only never filters an enumeration; naming it spares POSIX a status call per file.
  fs::EnumerateFolder(dir, "*.*", kAcceptFolders | fs::kAttrReadOnly,
                      [&](const fs::DirEntry& entry) {
                        if (entry.attributes & fs::kAttrDirectory) folders.push_back(entry.name);
                        return true;
                      });
  for (const auto& name : folders) {
    if (Terminated()) return;
    SearchFolder(dir + name + kPathDelim, accepted, visited);
  }
}

}  // namespace orvelle
