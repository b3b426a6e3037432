#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/text_ansi.h"
#include "platform/win32_util.h"

namespace orvelle::text {
namespace {

using win32::Narrow;
using win32::Widen;

std::string Utf16ToUtf8(const std::string& bytes, bool big_endian) {
  std::wstring units(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    const auto a = static_cast<unsigned char>(bytes[2 * i]);
    const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    units[i] = static_cast<wchar_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
  }
  // WideCharToMultiByte turns an unpaired surrogate into U+FFFD.
  std::string out = Narrow(units);
  if (bytes.size() % 2 != 0) out += "\xEF\xBF\xBD";
  return out;
}

std::wstring MapCase(const std::string& utf8, DWORD how) {
  const std::wstring in = Widen(utf8);
  if (in.empty()) return in;
  const int n =
      LCMapStringW(LOCALE_INVARIANT, how, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return in;
  std::wstring out(static_cast<size_t>(n), L'\0');
  LCMapStringW(LOCALE_INVARIANT, how, in.data(), static_cast<int>(in.size()), &out[0], n);
  return out;
}

}  // namespace

std::string SanitizeUtf8(const std::string& bytes) { return Narrow(Widen(bytes)); }

std::string Utf8ToAnsi(const std::string& utf8) {
  const UINT acp = GetACP();
  if (acp == CP_UTF8) return SanitizeUtf8(utf8);
  const std::wstring wide = Widen(utf8);
  if (wide.empty()) return std::string();
  // No best fit: a character the code page lacks becomes "?" rather than a look-alike.
  const DWORD flags = WC_NO_BEST_FIT_CHARS;
  const int n = WideCharToMultiByte(acp, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(acp, flags, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

namespace {

class CodePageCharEncoder : public AnsiCharEncoder {
 public:
  explicit CodePageCharEncoder(UINT code_page) : code_page_(code_page) {}
  bool Encode(const std::string& utf8_char, std::string& out) override {
    const std::wstring wide = Widen(utf8_char);
    char converted[8];
    BOOL lacks = FALSE;
    const int n = WideCharToMultiByte(code_page_, WC_NO_BEST_FIT_CHARS, wide.data(),
                                      static_cast<int>(wide.size()), converted, sizeof converted,
                                      nullptr, &lacks);
    if (n <= 0 || lacks) return false;
    out.append(converted, static_cast<size_t>(n));
    return true;
  }

 private:
  UINT code_page_;
};

}  // namespace

std::unique_ptr<AnsiCharEncoder> MakeAnsiCharEncoder() {
  const UINT acp = GetACP();
  if (acp == CP_UTF8) return nullptr;
  return std::make_unique<CodePageCharEncoder>(acp);
}

std::string AnsiToUtf8(const std::string& ansi) {
  if (ansi.empty()) return std::string();
  const int n =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
  return Narrow(wide);
}

std::string Utf16LeToUtf8(const std::string& bytes) { return Utf16ToUtf8(bytes, false); }
std::string Utf16BeToUtf8(const std::string& bytes) { return Utf16ToUtf8(bytes, true); }

std::string Utf8ToUtf16Le(const std::string& utf8) {
  const std::wstring wide = Widen(utf8);
  std::string out;
  out.reserve(wide.size() * 2);
  for (wchar_t u : wide) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  }
  return out;
}

char32_t FoldCase(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
  if (cp > 0xFFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return cp;
  // The system's mapping, once for every unit: upper case first, so that letters with
  // several lower forms (the long s, the final sigma) meet their usual one.
  static const std::vector<wchar_t> table = [] {
    std::vector<wchar_t> folded(0x10000);
    for (size_t c = 0; c < folded.size(); ++c) {
      wchar_t unit = static_cast<wchar_t>(c);
      if (c < 0xD800 || c > 0xDFFF) {
        wchar_t upper = unit;
        wchar_t lower = unit;
        if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &unit, 1, &upper, 1) == 1 &&
            LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, &upper, 1, &lower, 1) == 1) {
          unit = lower;
        }
      }
      folded[c] = unit;
    }
    return folded;
  }();
  return table[cp];
}

std::wstring ToMatchText(const std::string& utf8) { return Widen(utf8); }
std::string FromMatchText(const std::wstring& wide) { return Narrow(wide); }

int CompareTextI(const std::string& a, const std::string& b) {
  // UTF-8 byte order is code-point order, so comparing the folded texts bytewise orders them
  // the same way on every platform.
  const int c = UpperCase(a).compare(UpperCase(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string UpperCase(const std::string& utf8) { return Narrow(MapCase(utf8, LCMAP_UPPERCASE)); }
std::string LowerCase(const std::string& utf8) { return Narrow(MapCase(utf8, LCMAP_LOWERCASE)); }

}  // namespace orvelle::text
