#include "jet/testtools/grow.h"

#include <algorithm>
#include <cstring>

#include "jet/checker.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/edited_copy.h"
#include "jet/usage_map.h"

namespace orvelle::jet::test {

bool ParseSize(const std::string& text, uint64_t* bytes) {
  size_t i = 0;
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == 0) return false;
  std::string unit = text.substr(i);
  if (unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b')) unit.pop_back();
  uint64_t scale = 1;
  if (unit == "K" || unit == "k") {
    scale = uint64_t{1} << 10;
  } else if (unit == "M" || unit == "m") {
    scale = uint64_t{1} << 20;
  } else if (unit == "G" || unit == "g") {
    scale = uint64_t{1} << 30;
  } else if (!unit.empty() && unit != "B" && unit != "b") {
    return false;
  }
  if (v > UINT64_MAX / scale) return false;
  *bytes = v * scale;
  return true;
}

namespace {

constexpr uint32_t kMaxRowsPerPage = 255;  // a row pointer's slot is one byte
constexpr uint32_t kRoundPages = 256;      // a round of copies fills about this many pages
constexpr uint32_t kDataOwnerAt = 0x04;    // data pages: TDEF page, or "LVAL"
constexpr uint32_t kStampAt = 0x08;        // Jet4+ LVAL pages: the chain's stamp (7.4)
constexpr RowPointer kGlobalMap = {1, 0};

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool KnownType(uint8_t type) {
  return (type >= kBool && type <= kMemo) || (type >= kGuid && type <= 0x14);
}

// A long value of a row to copy: its LVAL rows as stored.
struct ValueCopy {
  size_t map = 0;        // index into TableDef::long_value_maps
  size_t header_at = 0;  // offset of the 12-byte header in the row
  bool chain = false;
  uint32_t stamp = 0;
  std::vector<std::string> rows;
};

struct RowCopy {
  std::string bytes;
  std::vector<ValueCopy> values;
};

// A page of a round before layout. Row pointers inside the round hold round-relative pages.
struct PagePlan {
  std::vector<std::string> rows;
  size_t bytes = 0;
  bool closed = false;  // a chain chunk has the page to itself
  uint32_t stamp = 0;
  std::vector<std::pair<size_t, size_t>> pointers;  // (slot, offset in the row)
};

// A usage map to describe again: the pages it listed plus new pages of the rounds.
struct MapTarget {
  RowPointer where;
  bool global = false;
  std::vector<uint32_t> old_pages;  // table maps: the pages listed before
  uint32_t lo = 0, hi = 0;          // table maps: new pages at these offsets of each round
};

class Grower {
 public:
  Grower(Database& db, const GrowOptions& o)
      : db_(db), l_(db.GetLayout()), o_(o), edits_(db), n_(db.PageCount()) {}

  GrowReport Run(std::ostream& out) {
    CheckReport check = CheckDatabase(db_);
    for (const Finding& f : check.findings) {
      if (f.severity == Severity::kError) {
        db_.Fail(f.page, "the database fails the structural check: " + f.text);
      }
    }
    const uint64_t limit = l_.jet3 ? uint64_t{1} << 30 : uint64_t{1} << 31;
    if (o_.size > limit) {
      db_.Fail(-1, "--size " + std::to_string(o_.size) + " is beyond the format's limit of " +
                       std::to_string(limit) + " bytes");
    }
    const uint64_t target = (o_.size + l_.page_size - 1) / l_.page_size;
    if (target <= n_) {
      db_.Fail(-1, "the database has " + std::to_string(uint64_t{n_} * l_.page_size) +
                       " bytes already, the size asked for is " + std::to_string(o_.size));
    }
    PickTable();
    LoadTemplate();
    PlanRound();
    rounds_ = static_cast<uint32_t>((target - n_ + round_pages_ - 1) / round_pages_);
    PlanMaps();
    if (uint64_t{total_} * l_.page_size > limit) {
      db_.Fail(-1, "the grown file would have " + std::to_string(uint64_t{total_} * l_.page_size) +
                       " bytes, beyond the format's limit");
    }
    GrowReport report;
    report.table = name_;
    report.rows_before = template_.size();
    report.rows_added = uint64_t{rounds_} * copies_ * template_.size();
    report.pages_before = n_;
    report.pages_after = total_;
    const uint64_t rows = report.rows_before + report.rows_added;
    if (rows > UINT32_MAX) db_.Fail(-1, "the table would have more rows than num_rows can count");
    edits_.SetRowCount(t_, static_cast<uint32_t>(rows));
    WritePages(
        db_, edits_, total_, [&](uint32_t pn, uint8_t* page) { Fill(pn, page); }, out);
    return report;
  }

 private:
  // Why t cannot be copied, or "" when it can.
  std::string Unfit(const CatalogEntry& e, const TableDef& t) const {
    // Named tables may be system tables, but not the two every reader needs.
    if (e.type != 1) return "is a linked table";
    if (o_.table.empty() && e.System()) return "is a system table";
    if (e.id == 2 || e.name == "MSysComplexColumns") return "is needed by every reader";
    if (t.num_real_idx != 0) return "has indexes";
    for (const Column& c : t.columns) {
      if (c.type == kComplex) return "has the complex column \"" + c.name + "\"";
      if (!c.Fixed() && !KnownType(c.type)) {
        return "has the column \"" + c.name + "\" of unknown type " + Hex(c.type);
      }
    }
    return std::string();
  }

  void PickTable() {
    uint64_t best = 0;
    for (const CatalogEntry& e : db_.Catalog()) {
      if (!o_.table.empty() && e.name != o_.table) continue;
      TableDef t = ReadTableDef(db_, e.id);
      const std::string why = Unfit(e, t);
      if (!why.empty()) {
        if (!o_.table.empty()) db_.Fail(e.id, "table \"" + e.name + "\" " + why);
        continue;
      }
      uint64_t bytes = 0;
      ForEachLiveRow(db_, t, [&](const LiveRow& r) { bytes += r.size; });
      if (bytes > best) {
        best = bytes;
        t_ = std::move(t);
        name_ = e.name;
      }
    }
    if (best == 0) {
      db_.Fail(-1, o_.table.empty()
                       ? "no user table with rows and without indexes or complex columns"
                       : "no table \"" + o_.table + "\" with rows");
    }
  }

  void LoadTemplate() {
    ForEachLiveRow(db_, t_, [&](const LiveRow& r) {
      RowCopy c;
      c.bytes.assign(reinterpret_cast<const char*>(r.bytes), r.size);
      CrackedRow cr = CrackRow(db_, t_, r);
      for (size_t k = 0; k < t_.columns.size(); ++k) {
        const Column& col = t_.columns[k];
        const ColumnData& cd = cr.columns[k];
        if (!col.IsLongValue() || !cd.present) continue;
        LongValueHeader h = ParseLongValueHeader(db_, cd.data, cd.size, r.data.page, col.name);
        if (h.kind == kLvInline) continue;
        std::vector<RowPointer> rows;
        ReadLongValue(
            db_, cd.data, cd.size, r.data.page, col.name, [](const uint8_t*, size_t) {}, nullptr,
            &rows);
        ValueCopy v;
        v.map = t_.long_value_maps.size();
        for (size_t m = 0; m < t_.long_value_maps.size(); ++m) {
          if (t_.long_value_maps[m].column == col.number && !t_.long_value_maps[m].owned.IsNull())
            v.map = m;
        }
        if (v.map == t_.long_value_maps.size()) {
          db_.Fail(t_.page, "table \"" + name_ + "\" column \"" + col.name +
                                "\" has long values but no owned-pages map");
        }
        v.header_at = static_cast<size_t>(cd.data - r.bytes);
        v.chain = h.kind == kLvChain;
        v.stamp = h.stamp;
        for (RowPointer rp : rows) {
          DataPage d = ParseDataPage(db_, rp.page, "long-value page");
          v.rows.emplace_back(reinterpret_cast<const char*>(d.Row(rp.row)),
                              d.slots[rp.row].Length());
        }
        c.values.push_back(std::move(v));
      }
      template_.push_back(std::move(c));
    });
  }

  // Places a row on the last page of list, or on a new one; returns its round-relative pointer.
  RowPointer Place(std::vector<PagePlan>& list, uint32_t base, std::string row, bool alone) {
    const size_t room = l_.page_size - l_.data_header;
    if (list.empty() || alone || list.back().closed || list.back().rows.size() >= kMaxRowsPerPage ||
        list.back().bytes + row.size() + 2 > room) {
      list.emplace_back();
    }
    PagePlan& p = list.back();
    p.bytes += row.size() + 2;
    p.rows.push_back(std::move(row));
    p.closed = alone;
    return {base + static_cast<uint32_t>(list.size() - 1), static_cast<uint8_t>(p.rows.size() - 1)};
  }

  // One round: `copies_` copies of every row, LVAL pages per column first, then the data pages.
  void Lay(const std::vector<uint32_t>& lv_base, uint32_t data_base) {
    lval_.assign(t_.long_value_maps.size(), {});
    data_.clear();
    for (uint32_t m = 0; m < copies_; ++m) {
      for (const RowCopy& row : template_) {
        std::string bytes = row.bytes;
        std::vector<size_t> pointers;
        for (const ValueCopy& v : row.values) {
          std::vector<PagePlan>& pages = lval_[v.map];
          const uint32_t base = lv_base[v.map];
          RowPointer first;
          if (!v.chain) {
            first = Place(pages, base, v.rows.front(), false);
          } else {
            std::vector<RowPointer> at;
            for (const std::string& chunk : v.rows) at.push_back(Place(pages, base, chunk, true));
            first = at.front();
            if (!l_.jet3) pages[first.page - base].stamp = v.stamp;
            for (size_t k = 0; k < at.size(); ++k) {
              PagePlan& p = pages[at[k].page - base];
              std::string& chunk = p.rows[at[k].row];
              const uint32_t next = k + 1 < at.size() ? at[k + 1].Packed() : 0;
              Put32(reinterpret_cast<uint8_t*>(&chunk[0]), next);
              if (next) p.pointers.push_back({at[k].row, 0});
            }
          }
          Put32(reinterpret_cast<uint8_t*>(&bytes[v.header_at + 4]), first.Packed());
          pointers.push_back(v.header_at + 4);
        }
        RowPointer at = Place(data_, data_base, std::move(bytes), false);
        for (size_t off : pointers) data_.back().pointers.push_back({at.row, off});
      }
    }
  }

  void PlanRound() {
    uint64_t bytes = 0;
    for (const RowCopy& r : template_) {
      bytes += r.bytes.size() + 2;
      for (const ValueCopy& v : r.values) {
        for (const std::string& s : v.rows) bytes += s.size() + 2;
      }
    }
    copies_ = static_cast<uint32_t>(
        std::max<uint64_t>(1, uint64_t{kRoundPages} * l_.page_size / std::max<uint64_t>(bytes, 1)));
    // Once to count the pages of each kind, once more with the pages where they go.
    std::vector<uint32_t> lv_base(t_.long_value_maps.size(), 0);
    Lay(lv_base, 0);
    uint32_t at = 0;
    for (size_t m = 0; m < lval_.size(); ++m) {
      lv_base[m] = at;
      at += static_cast<uint32_t>(lval_[m].size());
    }
    Lay(lv_base, at);
    std::vector<const PagePlan*> order;
    std::vector<uint32_t> owners;
    for (size_t m = 0; m < lval_.size(); ++m) {
      for (const PagePlan& p : lval_[m]) {
        order.push_back(&p);
        owners.push_back(kLvalOwner);
      }
      if (!lval_[m].empty()) {
        maps_.push_back({t_.long_value_maps[m].owned,
                         false,
                         {},
                         lv_base[m],
                         lv_base[m] + static_cast<uint32_t>(lval_[m].size())});
      }
    }
    maps_.push_back({t_.owned_map, false, {}, at, at + static_cast<uint32_t>(data_.size())});
    for (const PagePlan& p : data_) {
      order.push_back(&p);
      owners.push_back(t_.page);
    }
    round_pages_ = static_cast<uint32_t>(order.size());
    for (size_t q = 0; q < order.size(); ++q) {
      std::vector<uint8_t> img(l_.page_size, 0);
      img[0] = kPageData;
      img[1] = 0x01;
      Put32(img.data() + kDataOwnerAt, owners[q]);
      if (!l_.jet3) Put32(img.data() + kStampAt, order[q]->stamp);
      std::vector<RowImage> rows;
      for (const std::string& r : order[q]->rows) {
        rows.push_back({reinterpret_cast<const uint8_t*>(r.data()), r.size(), 0});
      }
      if (!LayOutRows(l_, img.data(), rows)) db_.Fail(t_.page, "a copied row does not fit a page");
      std::vector<uint32_t> fields;
      for (const auto& [slot, off] : order[q]->pointers) {
        const uint32_t row_at = Le16(img.data() + l_.data_header + 2 * slot) & 0x1FFFu;
        fields.push_back(row_at + static_cast<uint32_t>(off));
      }
      round_.push_back(std::move(img));
      pointers_.push_back(std::move(fields));
    }
    lval_.clear();
    data_.clear();
  }

  bool InMap(const MapTarget& m, uint64_t pn) const {
    if (m.global) {
      // A set bit is a free page: the input's free pages and everything past the end.
      if (pn >= total_) return true;
      return pn < n_ && global_in_.Covers(pn) &&
             std::binary_search(global_in_.pages.begin(), global_in_.pages.end(), pn);
    }
    if (std::binary_search(m.old_pages.begin(), m.old_pages.end(), pn)) return true;
    if (pn < gen_start_ || pn >= total_) return false;
    const uint64_t q = (pn - gen_start_) % round_pages_;
    return q >= m.lo && q < m.hi;
  }

  // Describes m's pages in its row; with write false only counts the new bitmap pages it needs.
  uint32_t BuildMap(const MapTarget& m, bool write) {
    size_t at = 0, len = 0;
    std::vector<uint8_t>& host = edits_.MapRow(m.where, &at, &len);
    const uint8_t type = host[at];
    const std::string what = "usage map at " + Describe(m.where);
    uint64_t first = 0, last = total_ - 1;
    if (!m.global) {
      first = std::min<uint64_t>(m.old_pages.empty() ? UINT32_MAX : m.old_pages.front(),
                                 gen_start_ + m.lo);
      last = gen_start_ + uint64_t{rounds_ - 1} * round_pages_ + m.hi - 1;
      if (!m.old_pages.empty()) last = std::max<uint64_t>(last, m.old_pages.back());
    }
    const uint64_t start = first & ~uint64_t{7};
    if (type == 0x00 && last - start < 8ull * (len - 5)) {
      if (!write) return 0;
      uint8_t* row = host.data() + at;
      if (m.global && Le32(row + 1) != 0) db_.Fail(1, what + ": does not start at page 0");
      const uint64_t from = m.global ? 0 : start;
      Put32(row + 1, static_cast<uint32_t>(from));
      std::fill(row + 5, row + len, 0);
      for (uint64_t k = 0; k < 8ull * (len - 5); ++k) {
        if (InMap(m, from + k)) row[5 + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
      }
      return 0;
    }
    const uint64_t per = l_.bitmap_pages_per_page;
    const uint64_t slots = last / per + 1;
    if (1 + 4 * slots > len) {
      db_.Fail(m.where.page, what + ": its " + std::to_string(len) + "-byte row has room for " +
                                 std::to_string((len - 1) / 4) + " bitmap pages, the size needs " +
                                 std::to_string(slots));
    }
    std::vector<uint32_t> old(slots, 0);
    if (type == 0x01) {
      for (uint64_t i = 0; i < slots; ++i) old[i] = Le32(host.data() + at + 1 + 4 * i);
    }
    uint32_t added = 0;
    std::vector<uint32_t> now(slots, 0);
    for (uint64_t i = 0; i < slots; ++i) {
      std::vector<uint8_t> bits(l_.page_size, 0);
      bool any = false;
      for (uint64_t k = 0; k < per; ++k) {
        if (InMap(m, i * per + k) && (m.global || i * per + k < total_)) {
          bits[4 + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
          any = true;
        }
      }
      if (!any && !m.global && old[i] == 0) continue;
      bits[0] = kPageUsageBitmap;
      bits[1] = 0x01;
      if (old[i] != 0) {
        now[i] = old[i];
        if (write) edits_.Edit(old[i]) = std::move(bits);
      } else {
        now[i] = n_ + next_bitmap_ + added++;
        if (write) bitmaps_.push_back(std::move(bits));
      }
    }
    if (write) {
      uint8_t* row = host.data() + at;
      std::fill(row, row + len, 0);
      row[0] = 0x01;
      for (uint64_t i = 0; i < slots; ++i) Put32(row + 1 + 4 * i, now[i]);
      next_bitmap_ += added;
    }
    return added;
  }

  void PlanMaps() {
    global_in_ = ReadGlobalMap(db_);
    for (MapTarget& m : maps_) m.old_pages = ReadUsageMap(db_, m.where, "usage map").pages;
    maps_.push_back({kGlobalMap, true, {}, 0, 0});
    // New bitmap pages go right after the input's pages; their number moves the rounds.
    uint32_t bitmaps = 0;
    for (int pass = 0;; ++pass) {
      gen_start_ = n_ + bitmaps;
      total_ = gen_start_ + rounds_ * round_pages_;
      uint32_t need = 0;
      next_bitmap_ = 0;
      for (const MapTarget& m : maps_) need += BuildMap(m, false);
      if (need == bitmaps) break;
      if (pass > 16) db_.Fail(-1, "the number of usage bitmap pages does not settle");
      bitmaps = need;
    }
    next_bitmap_ = 0;
    for (const MapTarget& m : maps_) BuildMap(m, true);
  }

  void Fill(uint32_t pn, uint8_t* page) {
    if (pn < n_) return;  // the input's page, edited or not
    if (pn < gen_start_) {
      std::memcpy(page, bitmaps_.at(pn - n_).data(), l_.page_size);
      return;
    }
    const uint32_t q = (pn - gen_start_) % round_pages_;
    const uint32_t base = pn - q;
    std::memcpy(page, round_[q].data(), l_.page_size);
    for (uint32_t off : pointers_[q]) Put32(page + off, Le32(page + off) + (base << 8));
  }

  Database& db_;
  const Layout& l_;
  const GrowOptions& o_;
  PageEdits edits_;
  const uint32_t n_;  // pages of the input
  TableDef t_;
  std::string name_;
  std::vector<RowCopy> template_;
  uint32_t copies_ = 1;  // copies of the table in one round
  std::vector<std::vector<PagePlan>> lval_;
  std::vector<PagePlan> data_;
  std::vector<std::vector<uint8_t>> round_;      // page images of a round at relative pages
  std::vector<std::vector<uint32_t>> pointers_;  // per round page: row pointers to rebase
  uint32_t round_pages_ = 0;
  uint32_t rounds_ = 0;
  uint32_t gen_start_ = 0;  // first page of the first round
  uint32_t total_ = 0;      // pages of the output
  std::vector<MapTarget> maps_;
  UsageMap global_in_;
  std::vector<std::vector<uint8_t>> bitmaps_;  // new type-0x05 pages, from page n_ on
  uint32_t next_bitmap_ = 0;
};

}  // namespace

GrowReport Grow(Database& db, const GrowOptions& options, std::ostream& out) {
  return Grower(db, options).Run(out);
}

GrowReport GrowToFile(const std::string& in, const std::string& out, const GrowOptions& options) {
  auto db = Database::OpenFile(in);
  GrowReport report;
  PublishNewFile(out, false, [&](std::ostream& o) { report = Grow(*db, options, o); });
  return report;
}

}  // namespace orvelle::jet::test
