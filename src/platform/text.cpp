#include "platform/text.h"

#include <memory>

#include "platform/text_ansi.h"

namespace orvelle::text {

std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

bool NextCodePoint(const std::string& s, size_t& pos, char32_t& cp) {
  if (pos >= s.size()) return false;
  const auto b0 = static_cast<unsigned char>(s[pos]);
  cp = b0;
  if (b0 < 0x80) {
    ++pos;
    return true;
  }
  // The lead byte gives the sequence length and the smallest value it may encode.
  int extra = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    min = 0x10000;
  } else {
    ++pos;
    return false;
  }
  char32_t value = b0 & (0x3F >> extra);
  if (pos + extra >= s.size()) {
    ++pos;
    return false;
  }
  for (int i = 1; i <= extra; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return false;
    }
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++pos;
    return false;
  }
  cp = value;
  pos += extra + 1;
  return true;
}

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Characters that would end a line, hide the rest of it or reorder it on screen.
bool BreaksALine(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x061C;
}

}  // namespace

void AppendPercentBytes(std::string& out, const std::string& bytes, size_t from, size_t to) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  for (size_t i = from; i < to; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += '%';
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
}

std::string EscapeLine(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  char32_t cp = 0;
  while (pos < bytes.size()) {
    const size_t start = pos;
    const bool valid = NextCodePoint(bytes, pos, cp);
    if (!valid || BreaksALine(cp)) {
      AppendPercentBytes(out, bytes, start, pos);
    } else if (cp == '%' && pos + 1 < bytes.size() && IsHex(bytes[pos]) && IsHex(bytes[pos + 1])) {
      out += "%25";
    } else {
      out.append(bytes, start, pos - start);
    }
  }
  return out;
}

std::string EscapedLineToAnsi(const std::string& line) {
  std::unique_ptr<AnsiCharEncoder> encoder = MakeAnsiCharEncoder();
  if (!encoder) return SanitizeUtf8(line);
  std::string out;
  out.reserve(line.size());
  size_t pos = 0;
  char32_t cp = 0;
  while (pos < line.size()) {
    const size_t start = pos;
    const bool valid = NextCodePoint(line, pos, cp);
    if (valid && cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (!valid || !encoder->Encode(line.substr(start, pos - start), out)) {
      AppendPercentBytes(out, line, start, pos);
    }
  }
  return out;
}

std::string UnescapeLine(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '%' && i + 2 < line.size() && IsHex(line[i + 1]) && IsHex(line[i + 2])) {
      out += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
      i += 2;
    } else {
      out += line[i];
    }
  }
  return out;
}

}  // namespace orvelle::text
