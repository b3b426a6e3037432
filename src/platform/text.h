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
// Only the letters A..Z are lowered; every other byte, UTF-8 ones included, stays as it is.
inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerAscii(std::string s);

// Appends the UTF-8 form of `cp` (at most U+10FFFF; surrogates are written as they come).
void AppendUtf8(std::string& out, char32_t cp);

// Simple case folding of one code point, for comparing names without regard to letter case
// in every script: Unicode's case folding (CaseFolding.txt, status C and S) on POSIX, the
// system's own upper and lower case mapping on Windows. "Ä" and "ä" fold alike.
char32_t FoldCase(char32_t cp);

// Text for matching as wide characters: UTF-32 on POSIX, UTF-16 on Windows. On POSIX a byte
// that is no UTF-8 becomes U+DC80 plus its value, which no valid text holds, and
// FromMatchText gives it back as that byte.
std::wstring ToMatchText(const std::string& utf8);
std::string FromMatchText(const std::wstring& wide);

// Decodes the UTF-8 sequence at `pos` into `cp` and moves past it. A byte that does not
// begin a valid sequence (overlong forms, surrogates and values above U+10FFFF included)
// gives false, its own value in `cp`, and is passed over alone. False at the end too, with
// `pos` unchanged.
bool NextCodePoint(const std::string& s, size_t& pos, char32_t& cp);

// A text made safe for one line of a log or report, and readable back exactly: control
// characters (U+0000..U+001F, U+007F..U+009F), the line and paragraph separators and the
// bidirectional controls, and every byte that is not part of valid UTF-8, are written as
// %XX, one per byte (hex digits in capitals); a "%" that two hex digits follow is written
// %25. Every other character stays as it is.
std::string EscapeLine(const std::string& bytes);
// The exact bytes an EscapeLine text came from: every %XX becomes its byte.
std::string UnescapeLine(const std::string& line);
// Appends bytes[from, to) to `out` as %XX, one per byte, as EscapeLine writes them.
void AppendPercentBytes(std::string& out, const std::string& bytes, size_t from, size_t to);
// Utf8ToAnsi for an EscapeLine text: a character the ANSI code page cannot hold is written
// as %XX of its UTF-8 bytes rather than as "?", so the written line reads back exactly too.
std::string EscapedLineToAnsi(const std::string& line);

}  // namespace orvelle::text
