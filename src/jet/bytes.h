// Bounds-checked little- and big-endian reads over a span that belongs to one structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "jet/error.h"

namespace orvelle::jet {

// A read-only window into a page or a table definition. Every read checks the window and
// throws a JetError naming the page, the structure and the field. Does not own the bytes.
class ByteView {
 public:
  ByteView(const uint8_t* data, size_t size, const std::string* file, int64_t page,
           const char* structure)
      : data_(data), size_(size), file_(file), page_(page), structure_(structure) {}

  size_t Size() const { return size_; }
  const uint8_t* Data() const { return data_; }
  int64_t PageNumber() const { return page_; }

  void Need(size_t offset, size_t length, const char* field) const {
    if (offset > size_ || length > size_ - offset) {
      Fail(std::string(field) + " at " + Hex(offset) + " (" + std::to_string(length) +
           " bytes) beyond end " + Hex(size_));
    }
  }
  uint8_t U8(size_t off, const char* field) const {
    Need(off, 1, field);
    return data_[off];
  }
  uint16_t U16(size_t off, const char* field) const {
    Need(off, 2, field);
    return static_cast<uint16_t>(data_[off] | (data_[off + 1] << 8));
  }
  uint32_t U24(size_t off, const char* field) const {
    Need(off, 3, field);
    return data_[off] | (data_[off + 1] << 8) | (static_cast<uint32_t>(data_[off + 2]) << 16);
  }
  uint32_t U32(size_t off, const char* field) const {
    Need(off, 4, field);
    return data_[off] | (data_[off + 1] << 8) | (static_cast<uint32_t>(data_[off + 2]) << 16) |
           (static_cast<uint32_t>(data_[off + 3]) << 24);
  }
  uint32_t U32BE(size_t off, const char* field) const {
    Need(off, 4, field);
    return (static_cast<uint32_t>(data_[off]) << 24) | (data_[off + 1] << 16) |
           (data_[off + 2] << 8) | data_[off + 3];
  }
  std::string Str(size_t off, size_t len, const char* field) const {
    Need(off, len, field);
    return std::string(reinterpret_cast<const char*>(data_ + off), len);
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw JetError(file_ ? *file_ : std::string(), page_, std::string(structure_) + ": " + what);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  const std::string* file_;
  int64_t page_;
  const char* structure_;
};

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace orvelle::jet
