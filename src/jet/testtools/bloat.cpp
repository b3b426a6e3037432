#include "jet/testtools/bloat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "jet/compact_plan.h"
#include "jet/rc4.h"

namespace orvelle::jet::test {

std::string Bloat(const std::string& name, const std::string& bytes, uint32_t gap,
                  const std::string& password) {
  Database db(MemorySource(name, bytes), password);
  std::ostringstream out;
  WriteBloated(db, gap, out);
  return out.str();
}

uint32_t WriteBloated(Database& db, uint32_t gap, std::ostream& out) {
  PageInventory inv = CollectInventory(db);
  const uint32_t n = inv.page_count;
  Relocation r = PackDown(inv, gap);
  // A freed page keeps what it held: here, a copy of the live page placed below it.
  std::vector<uint32_t> old_at(r.page_count, Relocation::kNone);
  for (uint32_t pn = 0; pn < n; ++pn) {
    if (r.new_number[pn] != Relocation::kNone) old_at[r.new_number[pn]] = pn;
  }
  r.stale.assign(r.page_count, Relocation::kNone);
  uint32_t below = Relocation::kNone;
  for (uint32_t pos = 2; pos < r.page_count; ++pos) {
    if (old_at[pos] != Relocation::kNone) {
      below = old_at[pos];
    } else {
      r.stale[pos] = below;
    }
  }
  return WriteRelocated(db, inv, r, out);
}

void SetStoredPassword(std::string& bytes, const std::string& password) {
  static const uint8_t kKey[4] = {0xC7, 0xDA, 0x39, 0x6B};
  const bool jet3 = bytes.at(0x14) == 0;
  std::vector<uint8_t> h(bytes.begin() + 0x18, bytes.begin() + 0x18 + (jet3 ? 126 : 128));
  Rc4Apply(kKey, 4, h.data(), h.size());
  uint8_t* pwd = h.data() + (0x42 - 0x18);
  if (jet3) {
    std::memset(pwd, 0, 20);
    std::memcpy(pwd, password.data(), std::min<size_t>(password.size(), 20));
  } else {
    double created = 0;
    std::memcpy(&created, h.data() + (0x72 - 0x18), sizeof created);
    uint32_t mask = static_cast<uint32_t>(static_cast<int32_t>(created));
    std::memset(pwd, 0, 40);
    // ASCII passwords only: one UCS-2 unit per character.
    for (size_t i = 0; i < password.size() && i < 20; ++i) pwd[2 * i] = password[i];
    for (size_t i = 0; i < 40; ++i) pwd[i] ^= static_cast<uint8_t>(mask >> (8 * (i % 4)));
  }
  Rc4Apply(kKey, 4, h.data(), h.size());
  std::copy(h.begin(), h.end(), bytes.begin() + 0x18);
}

}  // namespace orvelle::jet::test
