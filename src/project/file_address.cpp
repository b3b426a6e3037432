#include "project/file_address.h"

#include "platform/path.h"
#include "platform/text.h"
#include "project/regex.h"

namespace orvelle {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int hi, lo;
    if (text[i] == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 &&
        (lo = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string NormalizeWindows(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.empty()) return path;
  if ((path[0] >= '1' && path[0] <= '9') || path.find(':') == std::string::npos) {
    path = "\\\\" + path;
  }
  return path;
}

std::string NormalizePosix(const std::string& address, const std::string& rest) {
  size_t slashes = 0;
  while (5 + slashes < address.size() && address[5 + slashes] == '/') ++slashes;
  if (rest.empty()) return rest;
  std::string path;
  if (slashes == 2) {
    auto end = rest.find('/');
    std::string host = rest.substr(0, end);
    std::string tail = end == std::string::npos ? "/" : rest.substr(end);
    path = text::SameTextAscii(host, "localhost") ? tail : "//" + rest;
  } else if (slashes == 0) {
    path = rest;
  } else {
    path = "/" + rest;
  }
  return PercentDecode(path);
}

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

}  // namespace

std::string FileAddressToPath(const std::string& text) {
  if (text.compare(0, 5, "file:") != 0) return text;
  std::string rest = regex::RegexReplace(text, "^file:/*", "", 0);
  if (kPathDelim == '\\') return NormalizeWindows(rest);
  return NormalizePosix(text, rest);
}

bool IsNonLocalAddress(const std::string& text) {
  const size_t colon = text.find("://");
  if (colon == std::string::npos || colon < 2) return false;
  const char first = text[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return false;
  for (size_t i = 1; i < colon; ++i) {
    if (!IsSchemeChar(text[i])) return false;
  }
  return true;
}

}  // namespace orvelle
