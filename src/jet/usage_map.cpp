#include "jet/usage_map.h"

#include <algorithm>

#include "jet/rows.h"

namespace orvelle::jet {

bool UsageMap::Covers(uint64_t pn) const {
  for (const auto& r : covered) {
    if (pn >= r.first && pn < r.second) return true;
  }
  return false;
}

namespace {

void AddBits(Database& db, UsageMap& m, const uint8_t* bits, size_t len, uint64_t base) {
  for (size_t j = 0; j < len; ++j) {
    if (!bits[j]) continue;
    for (int k = 0; k < 8; ++k) {
      if (!((bits[j] >> k) & 1)) continue;
      uint64_t pn = base + 8 * j + k;
      if (pn < db.PageCount()) {
        m.pages.push_back(static_cast<uint32_t>(pn));
      } else if (m.beyond_eof++ == 0) {
        m.first_beyond_eof = pn;
      }
    }
  }
}

}  // namespace

UsageMap ReadUsageMap(Database& db, RowPointer rp, const std::string& what) {
  UsageMap m;
  m.where = rp;
  if (rp.IsNull()) return m;
  m.present = true;
  std::string structure = what + " at " + Describe(rp);
  DataPage host = ParseDataPage(db, rp.page, "usage map host");
  auto fail = [&](const std::string& text) { db.Fail(rp.page, structure + ": " + text); };
  if (rp.row >= host.slots.size()) {
    fail("row " + std::to_string(rp.row) + " beyond the page's " +
         std::to_string(host.slots.size()) + " rows");
  }
  const Slot& s = host.slots[rp.row];
  if (!s.Live()) fail("row is deleted");
  const uint8_t* row = host.Row(rp.row);
  size_t len = s.Length();
  if (len < 1) fail("empty row");
  const Layout& l = db.GetLayout();
  if (row[0] == 0x00) {
    if (len < 5) fail("inline map row of " + std::to_string(len) + " bytes, expected at least 5");
    uint32_t start = Le32(row + 1);
    m.covered.push_back({start, start + 8ull * (len - 5)});
    AddBits(db, m, row + 5, len - 5, start);
  } else if (row[0] == 0x01) {
    m.reference = true;
    size_t slots = (len - 1) / 4;
    for (size_t i = 0; i < slots; ++i) {
      uint32_t pn = Le32(row + 1 + 4 * i);
      uint64_t base = static_cast<uint64_t>(i) * l.bitmap_pages_per_page;
      // A slot for pages past the end of the file describes nothing; rows longer than the
      // slots a file can need carry stale bytes there.
      if (pn == 0 || base >= db.PageCount()) continue;
      Page p = db.ReadPage(pn, "usage bitmap");
      ByteView v = db.View(p, pn, "usage bitmap");
      if (v.U8(0, "type") != kPageUsageBitmap) {
        v.Fail("page type " + Hex(v.U8(0, "type")) + ", expected 0x05 (" + structure + " slot " +
               std::to_string(i) + ")");
      }
      m.bitmap_pages.push_back(pn);
      m.covered.push_back({base, base + l.bitmap_pages_per_page});
      AddBits(db, m, p->data() + 4, p->size() - 4, base);
    }
  } else {
    fail("map type " + Hex(row[0]) + ", expected 0x00 (inline) or 0x01 (reference)");
  }
  std::sort(m.pages.begin(), m.pages.end());
  if (std::adjacent_find(m.pages.begin(), m.pages.end()) != m.pages.end()) {
    fail("reference map slots cover the same pages twice");
  }
  return m;
}

UsageMap ReadGlobalMap(Database& db) { return ReadUsageMap(db, {1, 0}, "global usage map"); }

}  // namespace orvelle::jet
