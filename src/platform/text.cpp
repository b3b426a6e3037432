#include "platform/text.h"

namespace orvelle::text {

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

}  // namespace orvelle::text
