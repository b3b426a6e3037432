#include "jet/error.h"

#include <cstdio>

namespace orvelle::jet {

static std::string Compose(const std::string& file, int64_t page, const std::string& text) {
  std::string where = page >= 0 ? "page " + std::to_string(page) + ": " : std::string();
  return file + ": " + where + text;
}

JetError::JetError(std::string file, int64_t page, std::string text)
    : std::runtime_error(Compose(file, page, text)),
      file_(std::move(file)),
      page_(page),
      text_(std::move(text)) {}

std::string JetError::Detail() const {
  return page_ >= 0 ? "page " + std::to_string(page_) + ": " + text_ : text_;
}

PasswordError::PasswordError(std::string file)
    : JetError(std::move(file), -1, "Not a valid password.") {}

std::string Hex(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace orvelle::jet
