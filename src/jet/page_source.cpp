#include "jet/page_source.h"

#include <cstring>

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
  }
  const std::string& Name() const override { return name_; }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t len) override {
    if (offset > size_ || len > size_ - offset) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(len));
    return static_cast<size_t>(in_.gcount()) == len;
  }

 private:
  std::string name_;
  std::ifstream in_;
  uint64_t size_ = 0;
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
