#include <mutex>
#include <set>

#include "jet/compact_os.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orvelle::jet {

namespace {

std::mutex g_held_mu;
std::multiset<std::string> g_held;  // guarded by g_held_mu

std::string HeldKey(const std::string& path) {
  if (kPathDelim != '\\') return path;
  // Windows names ignore the letter case and take either slash.
  std::string key = path;
  for (char& c : key) {
    c = c == '/' ? '\\' : text::LowerAscii(c);
  }
  return key;
}

}  // namespace

void NoteHeldHere(const std::string& path, bool held) {
  std::lock_guard<std::mutex> lock(g_held_mu);
  if (held) {
    g_held.insert(HeldKey(path));
  } else {
    auto it = g_held.find(HeldKey(path));
    if (it != g_held.end()) g_held.erase(it);
  }
}

std::string LockFileEntry() {
  const std::string host = ComputerName().substr(0, 31);
  std::string entry(64, '\0');
  entry.replace(0, host.size(), host);
  entry.replace(32, 7, "Orvelle");
  return entry;
}

bool LockFileHeldHere(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_held_mu);
  return g_held.count(HeldKey(path)) != 0;
}

}  // namespace orvelle::jet
