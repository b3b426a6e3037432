// Inside the text seam: the ANSI code page one character at a time, for EscapedLineToAnsi.
// Implemented by text_posix.cpp and text_win32.cpp. Not thread-safe; one per call.
#pragma once

#include <memory>
#include <string>

namespace orvelle::text {

class AnsiCharEncoder {
 public:
  virtual ~AnsiCharEncoder() = default;
  // Appends the character (one valid UTF-8 sequence) in the code page to `out`; false, and
  // nothing appended, when the code page has no such character.
  virtual bool Encode(const std::string& utf8_char, std::string& out) = 0;
};

// Null when the ANSI code page is UTF-8, which holds every character.
std::unique_ptr<AnsiCharEncoder> MakeAnsiCharEncoder();

}  // namespace orvelle::text
