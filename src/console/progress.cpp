#include "console/progress.h"

#include <chrono>

#include "console/terminal.h"
#include "platform/text.h"

namespace orvelle::console {

namespace {

constexpr auto kTick = std::chrono::milliseconds(250);
constexpr auto kQuickest = std::chrono::milliseconds(100);
// Carriage return, then erase to the end of the line.
const char kClear[] = "\r\x1b[K";

size_t Columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// The last `columns` characters of `s`, after an ellipsis.
std::string TailOf(const std::string& s, size_t columns) {
  if (Columns(s) <= columns) return s;
  if (columns <= 3) return std::string(columns, '.');
  size_t keep = columns - 3, at = s.size();
  while (at > 0 && keep > 0) {
    --at;
    if ((static_cast<unsigned char>(s[at]) & 0xC0) != 0x80) --keep;
  }
  return "..." + s.substr(at);
}

}  // namespace

std::string ProgressText(const RunTally& tally, const std::string& current, size_t width) {
  std::string line = "orvelle: " + std::to_string(tally.done) + "/" + std::to_string(tally.found) +
                     " files, " + std::to_string(tally.failed) + " failed, " +
                     SizeText(tally.bytes_processed);
  // The last column stays free, so that a terminal never wraps the line.
  const size_t room = width > 1 ? width - 1 : 1;
  if (!current.empty()) {
    const std::string lead = "; compacting ";
    if (Columns(line) + lead.size() + 8 <= room) {
      line += lead + TailOf(text::EscapeLine(current), room - Columns(line) - lead.size());
    }
  }
  return Columns(line) > room ? line.substr(0, room) : line;
}

ProgressLine::ProgressLine(std::FILE* out, std::function<std::string(size_t width)> text)
    : out_(out), text_(std::move(text)), active_(out != nullptr && IsTerminal(out)) {
  if (active_) ticker_ = std::thread([this] { Tick(); });
}

ProgressLine::~ProgressLine() { Stop(); }

void ProgressLine::Poke() {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(mu_);
  poked_ = true;
  cv_.notify_all();
}

void ProgressLine::Stop() {
  if (!active_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    cv_.notify_all();
  }
  if (ticker_.joinable()) ticker_.join();
  if (drawn_) {
    std::fputs(kClear, out_);
    std::fflush(out_);
  }
}

void ProgressLine::Draw() {
  const std::string line = text_(TerminalWidth(out_));
  std::fputs(kClear, out_);
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

void ProgressLine::Tick() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    lock.unlock();
    Draw();
    lock.lock();
    drawn_ = true;
    poked_ = false;
    // At most ten lines a second however fast files finish.
    cv_.wait_for(lock, kQuickest, [this] { return stopping_; });
    cv_.wait_for(lock, kTick - kQuickest, [this] { return stopping_ || poked_; });
  }
}

}  // namespace orvelle::console
