#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/text.h"
#include "platform/text_ansi.h"

namespace orvelle::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEnd = 0xFFFFFFFF;

// One code point at `pos`, advancing past it; a byte that starts no valid sequence gives
// U+FFFD (and one byte is consumed); the end gives kEnd.
char32_t DecodeUtf8(const std::string& s, size_t& pos) {
  if (pos >= s.size()) return kEnd;
  char32_t cp = 0;
  return NextCodePoint(s, pos, cp) ? cp : kReplacement;
}

struct FoldRun {
  char32_t first;
  char32_t last;
  int stride;
  int offset;
};

constexpr FoldRun kFoldRuns[] = {
#include "platform/case_fold_table.inc"
};

// Bytes that are no UTF-8 become these, one each, in matching text.
constexpr char32_t kRawByteBase = 0xDC00;
static_assert(sizeof(wchar_t) == 4, "matching text holds one code point per wide character");

// Simple one-to-one case mapping for the scripts a file name is likely to use; the same on
// every machine, whatever locales are installed.
char32_t ToUpperCp(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  if (c == 0xB5) return 0x39C;
  if (c == 0xFF) return 0x178;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131) return 'I';
    if (c == 0x17F) return 'S';
    if (c == 0x130 || c == 0x138 || c == 0x149) return c;
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 0) ? c - 1 : c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;
  if (c == 0x3C2) return 0x3A3;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x4C1 && c <= 0x4CE) return (c % 2 == 0) ? c - 1 : c;
  if (c == 0x4CF) return 0x4C0;
  if (c >= 0x561 && c <= 0x586) return c - 0x30;
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) {
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

char32_t ToLowerCp(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  if (c == 0x178) return 0xFF;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return 'i';
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x4C1 && c <= 0x4CE) return (c % 2 == 1) ? c + 1 : c;
  if (c == 0x4C0) return 0x4CF;
  if (c >= 0x531 && c <= 0x556) return c + 0x30;
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) {
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;
  return c;
}

template <typename Map>
std::string MapCase(const std::string& utf8, Map map) {
  std::string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  for (char32_t cp = DecodeUtf8(utf8, pos); cp != kEnd; cp = DecodeUtf8(utf8, pos)) {
    AppendUtf8(out, map(cp));
  }
  return out;
}

// The character set of the user's locale, read without touching the process's own locale.
const std::string& LocaleCodeset() {
  static const std::string codeset = [] {
    std::string name;
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc != static_cast<locale_t>(nullptr)) {
      const char* cs = nl_langinfo_l(CODESET, loc);
      if (cs != nullptr) name = cs;
      freelocale(loc);
    }
    return name;
  }();
  return codeset;
}

// The plain C locale reports ASCII; like an unset locale it counts as UTF-8.
bool AnsiIsUtf8() {
  const std::string& cs = LocaleCodeset();
  return cs.empty() || cs == "UTF-8" || cs == "utf8" || cs == "ANSI_X3.4-1968" ||
         cs == "US-ASCII" || cs == "ASCII";
}

// Converts with iconv; an input sequence the target cannot take is replaced by `bad` and
// skipped (one byte, or one whole UTF-8 character when converting from UTF-8).
std::string Convert(const std::string& in, const char* to, const char* from, const std::string& bad,
                    bool from_utf8) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return SanitizeUtf8(in);
  std::string out;
  out.reserve(in.size() + in.size() / 2);
  std::string chunk(4096, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  while (src_left > 0) {
    char* dst = &chunk[0];
    size_t dst_left = chunk.size();
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(chunk.data(), chunk.size() - dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: an unconvertible or incomplete sequence.
    out += bad;
    size_t skip = 1;
    if (from_utf8) {
      std::string rest(src, src_left);
      size_t p = 0;
      DecodeUtf8(rest, p);
      skip = p;
    }
    src += skip;
    src_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

std::string Utf16ToUtf8(const std::string& bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[2 * i]);
    const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return big_endian ? (a << 8 | b) : (b << 8 | a);
  };
  for (size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
  }
  if (bytes.size() % 2 != 0) AppendUtf8(out, kReplacement);
  return out;
}

}  // namespace

std::string SanitizeUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  for (char32_t cp = DecodeUtf8(bytes, pos); cp != kEnd; cp = DecodeUtf8(bytes, pos)) {
    AppendUtf8(out, cp);
  }
  return out;
}

std::string Utf8ToAnsi(const std::string& utf8) {
  if (AnsiIsUtf8()) return SanitizeUtf8(utf8);
  return Convert(SanitizeUtf8(utf8), LocaleCodeset().c_str(), "UTF-8", "?", true);
}

std::string AnsiToUtf8(const std::string& ansi) {
  if (AnsiIsUtf8()) return SanitizeUtf8(ansi);
  return Convert(ansi, "UTF-8", LocaleCodeset().c_str(), "\xEF\xBF\xBD", false);
}

namespace {

class IconvCharEncoder : public AnsiCharEncoder {
 public:
  explicit IconvCharEncoder(iconv_t cd) : cd_(cd) {}
  ~IconvCharEncoder() override { iconv_close(cd_); }
  bool Encode(const std::string& utf8_char, std::string& out) override {
    char in[4];
    char converted[16];
    const size_t length = std::min(utf8_char.size(), sizeof in);
    std::copy(utf8_char.begin(), utf8_char.begin() + static_cast<std::ptrdiff_t>(length), in);
    char* src = in;
    size_t src_left = length;
    char* dst = converted;
    size_t dst_left = sizeof converted;
    if (iconv(cd_, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) || src_left != 0) {
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      return false;
    }
    out.append(converted, sizeof converted - dst_left);
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::unique_ptr<AnsiCharEncoder> MakeAnsiCharEncoder() {
  if (AnsiIsUtf8()) return nullptr;
  iconv_t cd = iconv_open(LocaleCodeset().c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return std::make_unique<IconvCharEncoder>(cd);
}

std::string Utf16LeToUtf8(const std::string& bytes) { return Utf16ToUtf8(bytes, false); }
std::string Utf16BeToUtf8(const std::string& bytes) { return Utf16ToUtf8(bytes, true); }

std::string Utf8ToUtf16Le(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto put = [&out](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  size_t pos = 0;
  for (char32_t cp = DecodeUtf8(utf8, pos); cp != kEnd; cp = DecodeUtf8(utf8, pos)) {
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

char32_t FoldCase(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
  const FoldRun* end = std::end(kFoldRuns);
  const FoldRun* run = std::upper_bound(std::begin(kFoldRuns), end, cp,
                                        [](char32_t c, const FoldRun& r) { return c < r.first; });
  if (run == std::begin(kFoldRuns)) return cp;
  --run;
  if (cp > run->last || (cp - run->first) % static_cast<char32_t>(run->stride) != 0) return cp;
  return static_cast<char32_t>(static_cast<int64_t>(cp) + run->offset);
}

std::wstring ToMatchText(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t pos = 0;
  char32_t cp = 0;
  while (pos < utf8.size()) {
    const bool valid = NextCodePoint(utf8, pos, cp);
    out += static_cast<wchar_t>(valid ? cp : kRawByteBase | cp);
  }
  return out;
}

std::string FromMatchText(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t w : wide) {
    const auto cp = static_cast<char32_t>(w);
    if (cp >= kRawByteBase + 0x80 && cp <= kRawByteBase + 0xFF) {
      out += static_cast<char>(cp & 0xFF);
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

int CompareTextI(const std::string& a, const std::string& b) {
  size_t pa = 0;
  size_t pb = 0;
  for (;;) {
    const char32_t ca = DecodeUtf8(a, pa);
    const char32_t cb = DecodeUtf8(b, pb);
    if (ca == kEnd || cb == kEnd) {
      if (ca == cb) return 0;
      return ca == kEnd ? -1 : 1;
    }
    const char32_t fa = FoldCase(ca);
    const char32_t fb = FoldCase(cb);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
}

std::string UpperCase(const std::string& utf8) { return MapCase(utf8, ToUpperCp); }
std::string LowerCase(const std::string& utf8) { return MapCase(utf8, ToLowerCp); }

}  // namespace orvelle::text
