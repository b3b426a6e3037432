#include "jet/rows.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "jet/usage_map.h"

namespace orvelle::jet {

DataPage ParseDataPage(Database& db, uint32_t pn, const char* structure) {
  const Layout& l = db.GetLayout();
  DataPage d;
  d.number = pn;
  d.page = db.ReadPage(pn, structure);
  ByteView v = db.View(d.page, pn, structure);
  uint8_t type = v.U8(0, "type");
  if (type != kPageData) v.Fail("page type " + Hex(type) + ", expected 0x01");
  d.free_space = v.U16(2, "free space");
  d.owner = v.U32(4, "owner");
  if (!l.jet3) d.stamp = v.U32(8, "stamp");
  uint16_t n = v.U16(l.data_num_rows, "row count");
  size_t table_end = l.data_header + 2u * n;
  if (table_end > l.page_size) {
    v.Fail("row count " + std::to_string(n) + ": slot table ends at " + Hex(table_end) +
           " beyond page end");
  }
  uint32_t prev = l.page_size;
  d.slots.reserve(n);
  for (uint16_t i = 0; i < n; ++i) {
    uint16_t raw = v.U16(l.data_header + 2u * i, "slot");
    Slot s;
    s.offset = raw & 0x1FFF;
    s.flags = raw & 0xC000;
    if (raw & 0x2000 || s.offset > l.page_size) {
      v.Fail("row " + std::to_string(i) + " offset " + Hex(raw & 0x3FFF) + " beyond page end");
    }
    if (s.offset < table_end) {
      v.Fail("row " + std::to_string(i) + " offset " + Hex(s.offset) +
             " inside the slot table (ends at " + Hex(table_end) + ")");
    }
    if (s.offset > prev) {
      v.Fail("row " + std::to_string(i) + " offset " + Hex(s.offset) +
             " above the previous row's start " + Hex(prev));
    }
    s.end = static_cast<uint16_t>(prev);
    prev = s.offset;
    d.slots.push_back(s);
  }
  return d;
}

bool LayOutRows(const Layout& l, uint8_t* page, const std::vector<RowImage>& rows) {
  const size_t table_end = l.data_header + 2 * rows.size();
  size_t used = table_end;
  for (const RowImage& r : rows) used += r.size;
  if (used > l.page_size || rows.size() > 0xFFFF) return false;
  std::fill(page + table_end, page + l.page_size, 0);
  size_t end = l.page_size;
  for (size_t s = 0; s < rows.size(); ++s) {
    end -= rows[s].size;
    if (rows[s].size) std::memcpy(page + end, rows[s].data, rows[s].size);
    const uint16_t raw = static_cast<uint16_t>(end | rows[s].flags);
    page[l.data_header + 2 * s] = static_cast<uint8_t>(raw);
    page[l.data_header + 2 * s + 1] = static_cast<uint8_t>(raw >> 8);
  }
  const size_t free_space = end - table_end;
  page[2] = static_cast<uint8_t>(free_space);
  page[3] = static_cast<uint8_t>(free_space >> 8);
  page[l.data_num_rows] = static_cast<uint8_t>(rows.size());
  page[l.data_num_rows + 1] = static_cast<uint8_t>(rows.size() >> 8);
  return true;
}

namespace {

constexpr int kMaxOverflowHops = 16;

// The variable-offset table of one row. A row lies within one page of at most 4096 bytes, and
// every entry takes two of them (Jet4) or the count is one byte (Jet3), so 2049 entries hold
// any row; push_back refuses more rather than writing past the end.
class OffsetTable {
 public:
  void clear() { size_ = 0; }
  bool push_back(uint32_t v) {
    if (size_ == kCapacity) return false;
    at_[size_++] = v;
    return true;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t operator[](size_t i) const { return at_[i]; }

 private:
  static constexpr size_t kCapacity = 2049;
  uint32_t at_[kCapacity];
  size_t size_ = 0;
};

void CheckOwner(Database& db, const DataPage& d, const TableDef& t) {
  if (d.owner != t.page) {
    db.Fail(d.number, "data page: owner " + std::to_string(d.owner) +
                          ", expected table definition page " + std::to_string(t.page));
  }
}

}  // namespace

LiveRow FollowRow(Database& db, const TableDef& t, const DataPage& start, size_t slot) {
  LiveRow r;
  r.header = {start.number, static_cast<uint8_t>(slot)};
  auto land = [&r](const DataPage& p, size_t s) {
    r.data = {p.number, static_cast<uint8_t>(s)};
    r.page = p.page;
    r.bytes = p.Row(s);
    r.size = p.slots[s].Length();
  };
  // Most rows live where their header is: no copy of the page, no loop bookkeeping.
  if (!(start.slots[slot].flags & kRowOverflowHeader)) {
    land(start, slot);
    return r;
  }
  DataPage cur = start;
  size_t s = slot;
  std::unordered_set<uint32_t> seen{r.header.Packed()};
  for (int hop = 0;; ++hop) {
    const Slot& sl = cur.slots[s];
    // The header slot carries 0x4000 alone; a target that moved again keeps 0x4000 too.
    if (!(sl.flags & kRowOverflowHeader)) {
      land(cur, s);
      return r;
    }
    if (sl.Length() < 4) {
      db.Fail(cur.number, "data page: overflow row " + std::to_string(s) + " has " +
                              std::to_string(sl.Length()) + " bytes, expected a 4-byte pointer");
    }
    RowPointer to = RowPointer::FromLe(Le32(cur.Row(s)));
    if (hop >= kMaxOverflowHops || !seen.insert(to.Packed()).second) {
      db.Fail(r.header.page, "data page: overflow chain of row " + std::to_string(r.header.row) +
                                 " loops at " + Describe(to));
    }
    DataPage next = ParseDataPage(db, to.page, "overflow row");
    CheckOwner(db, next, t);
    if (to.row >= next.slots.size()) {
      db.Fail(to.page, "overflow row: row " + std::to_string(to.row) + " of " +
                           std::to_string(next.slots.size()) + " referenced by " +
                           Describe(r.header));
    }
    if (next.slots[to.row].flags == 0 || next.slots[to.row].Deleted()) {
      db.Fail(to.page, "overflow row: row " + std::to_string(to.row) + " referenced by " +
                           Describe(r.header) + " is not an overflow target");
    }
    cur = std::move(next);
    s = to.row;
  }
}

LiveRow ResolveRow(Database& db, const TableDef& t, RowPointer rp) {
  DataPage d = ParseDataPage(db, rp.page, "data page");
  CheckOwner(db, d, t);
  if (rp.row >= d.slots.size()) {
    db.Fail(rp.page, "data page: row " + std::to_string(rp.row) + " of " +
                         std::to_string(d.slots.size()) + " does not exist");
  }
  if (!d.slots[rp.row].Live()) {
    db.Fail(rp.page, "data page: row " + std::to_string(rp.row) + " is not a live row");
  }
  return FollowRow(db, t, d, rp.row);
}

void ForEachLiveRow(Database& db, const TableDef& t,
                    const std::function<void(const LiveRow&)>& fn) {
  UsageMap owned = ReadUsageMap(db, t.owned_map, "table owned-pages map");
  for (uint32_t pn : owned.pages) {
    DataPage d = ParseDataPage(db, pn, "data page");
    CheckOwner(db, d, t);
    for (size_t s = 0; s < d.slots.size(); ++s) {
      if (!d.slots[s].Live()) continue;
      fn(FollowRow(db, t, d, s));
    }
  }
}

CrackedRow CrackRow(Database& db, const TableDef& t, const LiveRow& row) {
  CrackedRow cr;
  CrackRow(db, t, row, cr);
  return cr;
}

void CrackRow(Database& db, const TableDef& t, const LiveRow& row, CrackedRow& cr) {
  const bool jet3 = db.GetLayout().jet3;
  cr.where = row.header;
  cr.data = row.data;
  cr.row_size = row.size;
  const uint8_t* b = row.bytes;
  const size_t size = row.size;
  auto fail = [&](const std::string& what) -> void {
    db.Fail(row.data.page, "data page: row " + std::to_string(row.data.row) + ": " + what);
  };
  const size_t count_len = jet3 ? 1 : 2;
  if (size < count_len) fail("empty row");
  uint16_t c = jet3 ? b[0] : Le16(b);
  size_t mask_len = (c + 7u) / 8u;
  if (size < count_len + mask_len) {
    fail("column count " + std::to_string(c) + " needs a " + std::to_string(mask_len) +
         "-byte null mask, row has " + std::to_string(size) + " bytes");
  }
  cr.column_count = c;
  const size_t mask_at = size - mask_len;
  // Variable offsets, eod last; kept between calls, as every row of a scan needs one. A fixed
  // table, as a thread_local with a destructor (a vector) crashes threads as they end in the
  // mingw-w64 runtime, which frees its storage before running the destructor.
  thread_local OffsetTable entries;
  entries.clear();
  size_t var_table_start = mask_at;
  if (t.num_var_cols > 0) {
    if (!jet3) {
      if (mask_at < count_len + 2) fail("no room for the variable column count");
      uint16_t n = Le16(b + mask_at - 2);
      size_t need = 2u + 2u * (n + 1u);
      if (mask_at < count_len + need) {
        fail(std::to_string(n) + " variable columns do not fit in " + std::to_string(size) +
             " bytes");
      }
      var_table_start = mask_at - need;
      for (size_t i = 0; i <= n; ++i) {
        if (!entries.push_back(Le16(b + mask_at - 4 - 2 * i))) fail("too many variable columns");
      }
    } else {
      const int64_t last = static_cast<int64_t>(size) - 1;
      const int64_t m = static_cast<int64_t>(mask_len);
      if (last - m < 1) fail("no room for the variable column count");
      int64_t n = b[last - m];
      int64_t jumps = (static_cast<int64_t>(size) - 1) / 256;
      int64_t p0 = last - m - jumps - 1;
      if (p0 - n < 1) {
        fail(std::to_string(n) + " variable columns do not fit in " + std::to_string(size) +
             " bytes");
      }
      if ((p0 - n) / 256 < jumps) --jumps;
      int64_t used = 0;
      for (int64_t i = 0; i <= n; ++i) {
        while (used < jumps && b[last - m - 1 - used] == i) ++used;
        if (!entries.push_back(static_cast<uint32_t>(b[p0 - i] + 256 * used))) {
          fail("too many variable columns");
        }
      }
      var_table_start = static_cast<size_t>(p0 - n);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] > var_table_start || (i > 0 && entries[i] < entries[i - 1])) {
        fail("variable offset " + std::to_string(i) + " is " + Hex(entries[i]) + ", outside " +
             Hex(i > 0 ? entries[i - 1] : 0) + ".." + Hex(var_table_start));
      }
    }
  }
  const size_t n_var = entries.empty() ? 0 : entries.size() - 1;
  cr.columns.resize(t.columns.size());
  for (size_t k = 0; k < t.columns.size(); ++k) {
    const Column& col = t.columns[k];
    ColumnData& out = cr.columns[k];
    out = ColumnData();
    bool bit = col.number < c && (b[mask_at + col.number / 8] >> (col.number % 8)) & 1;
    if (col.type == kBool) {
      out.present = bit;
      continue;
    }
    if (!bit) continue;
    if (col.Fixed()) {
      size_t start = count_len + col.fixed_offset;
      if (start + col.length > var_table_start) {
        fail("fixed column \"" + col.name + "\" at " + Hex(start) + " (" +
             std::to_string(col.length) + " bytes) beyond the row's data end " +
             Hex(var_table_start));
      }
      out.present = true;
      out.data = b + start;
      out.size = col.length;
    } else {
      if (col.var_index >= n_var) continue;
      out.present = true;
      out.data = b + entries[col.var_index];
      out.size = entries[col.var_index + 1] - entries[col.var_index];
    }
  }
}

}  // namespace orvelle::jet
