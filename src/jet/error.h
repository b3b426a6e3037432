// Errors of the native engine: every failure names the file, the page and what was expected.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvelle::jet {

// Thrown for damaged, truncated or unsupported input. Page() is -1 for file-level errors.
class JetError : public std::runtime_error {
 public:
  JetError(std::string file, int64_t page, std::string text);
  const std::string& File() const { return file_; }
  int64_t Page() const { return page_; }
  const std::string& Text() const { return text_; }
  // The message without the file name, e.g. "page 37: data page: row 4 ...".
  std::string Detail() const;

 private:
  std::string file_;
  int64_t page_;
  std::string text_;
};

// A password-protected file opened with a wrong or missing password. The text is the one Access
// gives, "Not a valid password.", so that callers can pass it on unchanged.
class PasswordError : public JetError {
 public:
  explicit PasswordError(std::string file);
};

std::string Hex(uint64_t value);  // "0x1F00"

}  // namespace orvelle::jet
