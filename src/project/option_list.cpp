#include "project/option_list.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/text.h"

namespace orvelle {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The name of a line is the text before its first "="; a line without one has no name.
bool LineHasName(const std::string& line, const std::string& name) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  return text::SameTextI(line.substr(0, eq), name);
}

// A decimal number as the float conversion accepts it: blanks around, an optional sign,
// digits with at most one point, an optional exponent. Sets `nonzero` from the digits.
bool ParseDecimal(const std::string& s, bool& nonzero) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  bool digits = false;
  nonzero = false;
  while (i < n && IsDigit(s[i])) {
    digits = true;
    nonzero = nonzero || s[i] != '0';
    ++i;
  }
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && IsDigit(s[i])) {
      digits = true;
      nonzero = nonzero || s[i] != '0';
      ++i;
    }
  }
  if (!digits) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (i >= n || !IsDigit(s[i])) return false;
    while (i < n && IsDigit(s[i])) ++i;
  }
  while (i < n && IsBlank(s[i])) ++i;
  return i == n;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string TkxOptionList::GetValue(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& line : lines_) {
    if (LineHasName(line, name)) return line.substr(line.find('=') + 1);
  }
  return std::string();
}

void TkxOptionList::SetValue(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (!LineHasName(*it, name)) continue;
    if (value.empty()) {
      lines_.erase(it);
    } else {
      *it = name + "=" + value;
    }
    return;
  }
  if (!value.empty()) lines_.push_back(name + "=" + value);
}

std::string TkxOptionList::GetText() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const auto& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

void TkxOptionList::SetText(const std::string& text) {
  std::vector<std::string> lines;
  const size_t end = std::min(text.find('\0'), text.size());
  size_t pos = 0;
  while (pos < end) {
    size_t stop = pos;
    while (stop < end && text[stop] != '\r' && text[stop] != '\n') ++stop;
    lines.emplace_back(text, pos, stop - pos);
    // CR LF, a lone CR and a lone LF each end one line.
    if (stop < end && text[stop] == '\r') {
      ++stop;
      if (stop < end && text[stop] == '\n') ++stop;
    } else if (stop < end) {
      ++stop;
    }
    pos = stop;
  }
  std::lock_guard<std::mutex> lock(mu_);
  lines_.swap(lines);
}

std::vector<std::string> TkxOptionList::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

void TkxOptionList::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

void TkxOptionList::Load(const std::string& path) {
  // A project is a few lines; refusing anything far larger keeps a stray file from
  // exhausting memory (a file of line breaks costs dozens of bytes per byte).
  SetText(DecodeFileBytes(fs::ReadAll(path, kMaxFileBytes)));
}

void TkxOptionList::Save(const std::string& path) const {
  fs::WriteAll(path, text::Utf8ToAnsi(GetText()));
}

bool TkxOptionList::GetBool(const std::string& name, bool def) const {
  return ParseBool(GetValue(name), def);
}

int32_t TkxOptionList::GetInt(const std::string& name, int32_t def) const {
  return ParseInt(GetValue(name), def);
}

bool TkxOptionList::ParseBool(const std::string& value, bool def) {
  bool nonzero = false;
  if (ParseDecimal(value, nonzero)) return nonzero;
  if (text::SameTextAscii(value, "True")) return true;
  if (text::SameTextAscii(value, "False")) return false;
  return def;
}

int32_t TkxOptionList::ParseInt(const std::string& value, int32_t def) {
  size_t i = 0;
  const size_t n = value.size();
  while (i < n && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < n && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  bool hex = false;
  if (i < n && value[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < n && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return def;
  // Hexadecimal takes the 32 bits as they stand ($FFFFFFFF is -1); decimal must fit.
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t acc = 0;
  for (; i < n; ++i) {
    const int d = hex ? HexDigit(value[i]) : (IsDigit(value[i]) ? value[i] - '0' : -1);
    if (d < 0) return def;
    acc = acc * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (acc > limit) return def;
  }
  uint32_t bits = static_cast<uint32_t>(acc);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

std::string TkxOptionList::DecodeFileBytes(const std::string& bytes) {
  auto starts = [&bytes](const char* mark, size_t len) {
    return bytes.size() >= len && bytes.compare(0, len, mark, len) == 0;
  };
  if (starts("\xFF\xFE", 2)) return text::Utf16LeToUtf8(bytes.substr(2));
  if (starts("\xFE\xFF", 2)) return text::Utf16BeToUtf8(bytes.substr(2));
  if (starts("\xEF\xBB\xBF", 3)) return text::SanitizeUtf8(bytes.substr(3));
  return text::AnsiToUtf8(bytes);
}

}  // namespace orvelle
