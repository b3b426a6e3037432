#include "jet/page_source.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "jet/error.h"

namespace orvelle::jet {

namespace {

// std::ifstream keeps the library free of platform calls; streamoff is 64-bit on every
// target we build for, so files past 2 GiB seek correctly.
class FileSource : public ByteSource {
 public:
  FileSource(std::string path) : name_(std::move(path)) {
    in_.open(name_, std::ios::binary);
    if (!in_) throw JetError(name_, -1, "cannot open the file for reading");
    in_.seekg(0, std::ios::end);
    std::streamoff end = in_.tellg();
    if (end < 0) throw JetError(name_, -1, "cannot determine the file length");
    size_ = static_cast<uint64_t>(end);
    // A small file is read whole: every later read is a copy from memory.
    if (size_ > 0 && size_ <= kWindow) {
      window_.resize(static_cast<size_t>(size_));
      if (!Read(0, window_.data(), window_.size())) window_.clear();
    }
  }
  const std::string& Name() const override { return name_; }
  uint64_t Size() const override { return size_; }
  // A read that continues the one before fills a window of the bytes that follow, so that a
  // scan through the file costs a few large reads; other reads take what they ask for.
  bool ReadAt(uint64_t offset, void* buffer, size_t len) override {
    if (offset > size_ || len > size_ - offset) return false;
    if (offset >= window_at_ && offset + len <= window_at_ + window_.size()) {
      std::memcpy(buffer, window_.data() + (offset - window_at_), len);
      last_end_ = offset + len;
      return true;
    }
    const bool sequential = offset == last_end_ && len < kWindow;
    last_end_ = offset + len;
    if (!sequential) return Read(offset, static_cast<char*>(buffer), len);
    window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindow, size_ - offset)));
    window_at_ = offset;
    if (!Read(offset, window_.data(), window_.size())) {
      window_.clear();
      return false;
    }
    std::memcpy(buffer, window_.data(), len);
    return true;
  }

 private:
  bool Read(uint64_t offset, char* buffer, size_t len) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(buffer, static_cast<std::streamsize>(len));
    return static_cast<size_t>(in_.gcount()) == len;
  }

  static constexpr size_t kWindow = size_t{1} << 20;
  std::string name_;
  std::ifstream in_;
  uint64_t size_ = 0;
  std::vector<char> window_;
  uint64_t window_at_ = 0;
  uint64_t last_end_ = UINT64_MAX;
};

class BytesSource : public ByteSource {
 public:
  BytesSource(std::string name, std::string bytes)
      : name_(std::move(name)), bytes_(std::move(bytes)) {}
  const std::string& Name() const override { return name_; }
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t len) override {
    if (offset > bytes_.size() || len > bytes_.size() - offset) return false;
    if (len) std::memcpy(buffer, bytes_.data() + offset, len);
    return true;
  }

 private:
  std::string name_;
  std::string bytes_;
};

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path) {
  return std::make_unique<FileSource>(path);
}

std::unique_ptr<ByteSource> MemorySource(std::string name, std::string bytes) {
  return std::make_unique<BytesSource>(std::move(name), std::move(bytes));
}

}  // namespace orvelle::jet
