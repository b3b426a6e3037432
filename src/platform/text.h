// Text seam: UTF-8 inside, conversions at the edges, one case-insensitive comparison.
#pragma once

#include <string>

namespace orvelle::text {

// The system ANSI code page: CP_ACP on Windows; elsewhere the locale's character set
// (the plain C/POSIX locale counts as UTF-8). Characters the code page cannot hold become
// the platform's default character ("?").
std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);

// UTF-16 byte streams (no mark) to UTF-8 and back; invalid sequences become U+FFFD.
std::string Utf16LeToUtf8(const std::string& bytes);
std::string Utf16BeToUtf8(const std::string& bytes);
std::string Utf8ToUtf16Le(const std::string& utf8);
// Replaces invalid UTF-8 sequences by U+FFFD.
std::string SanitizeUtf8(const std::string& bytes);

// Case-insensitive comparison that folds non-ASCII letters too (as Windows' CompareString
// with NORM_IGNORECASE does); returns <0, 0, >0.
int CompareTextI(const std::string& a, const std::string& b);
inline bool SameTextI(const std::string& a, const std::string& b) {
  return CompareTextI(a, b) == 0;
}
std::string UpperCase(const std::string& utf8);
std::string LowerCase(const std::string& utf8);
// Only the letters a..z are folded (the comparison some rules ask for explicitly).
bool SameTextAscii(const std::string& a, const std::string& b);

}  // namespace orvelle::text
