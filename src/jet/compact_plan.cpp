#include "jet/compact_plan.h"

#include <algorithm>
#include <cstring>

#include "jet/index.h"
#include "jet/page_walk.h"

namespace orvelle::jet {

uint32_t PageInventory::LiveCount() const {
  return static_cast<uint32_t>(
      std::count_if(roles.begin(), roles.end(), [](PageRole r) { return r != PageRole::kNone; }));
}

namespace {

class Collector : public InventoryVisitor {
 public:
  explicit Collector(Database& db) : db_(db), l_(db.GetLayout()), owners_(db.PageCount()) {
    inv_.page_count = db.PageCount();
  }

  PageInventory Finish() override {
    inv_.roles.resize(inv_.page_count);
    for (uint32_t pn = 0; pn < inv_.page_count; ++pn) inv_.roles[pn] = owners_[pn].role;
    FindOrphanMaps();
    return std::move(inv_);
  }

  // --- the walk: every problem ends it --------------------------------------------------------

  void OnError(const JetError&) override { throw; }

  // Only what the walk reaches is live; pages a map lists may hold nothing.
  void Claim(uint32_t pn, PageRole role, uint32_t table, Reach reach,
             const std::string& what) override {
    if (reach == Reach::kListed) return;
    const PageRole held = pn < owners_.size() ? owners_[pn].role : PageRole::kNone;
    switch (owners_.Claim(pn, role, table, Sharing::kSameRole)) {
      case PageOwners::Outcome::kFirst:
      case PageOwners::Outcome::kAgain:
        return;
      case PageOwners::Outcome::kBeyondEnd:
        db_.Fail(pn, what + ": page beyond end of file");
      case PageOwners::Outcome::kConflict:
        db_.Fail(pn, std::string("claimed twice: as ") + PageRoleName(held) + " and as " +
                         PageRoleName(role) + " (" + what + ")");
    }
  }

  bool OnDuplicateTable(const CatalogEntry&, const std::string&) override { return true; }

  void OnTable(const CatalogEntry&, const TableDef& t) override {
    inv_.table_defs.push_back({t.chain, DefinitionFields(t)});
  }

  void OnMap(const UsageMap& m, MapUse, uint32_t, const std::string&) override {
    if (m.present) AddMap(m, false);
  }
  // The global map's row as a table's map too (a damaged definition) stays a table's map: the
  // writer rebuilds it from the pages it lists, as it did when the global map was read first.
  void OnGlobalMap(const UsageMap& global) override {
    if (!inv_.maps.count(global.where.Packed())) AddMap(global, true);
  }

  void OnOverflowPointer(uint32_t page, uint32_t offset) override {
    Field(page, offset, PointerForm::kRowLe);
  }

  void OnUnknownTypeData(const TableDef&, const std::string& tname, const Column& c,
                         const LiveRow& r) override {
    db_.Fail(r.header.page, tname + " column \"" + c.name + "\" has the unknown type " +
                                Hex(c.type) + " and holds data (" + Describe(r.header) +
                                "); its values might name pages, which cannot be moved safely");
  }

  void OnLongValuePointer(uint32_t page, uint32_t offset) override {
    Field(page, offset, PointerForm::kRowLe);
  }
  void OnLongValueLink(uint32_t page, uint32_t offset) override {
    Field(page, offset, PointerForm::kRowLe);
  }

  void OnIndexPage(const TableDef&, size_t, uint32_t pn, const UsageMap&,
                   const std::string&) override {
    IndexFields(pn);
  }

 private:
  void Field(uint32_t pn, uint32_t offset, PointerForm form) {
    inv_.fields[pn].push_back({offset, form});
  }

  // Records the map row m was read from; its host and bitmap pages are claimed already.
  void AddMap(const UsageMap& m, bool global) {
    const RowPointer rp = m.where;
    MapRowInfo& info = inv_.maps[rp.Packed()];
    info.where = rp;
    info.global = global;
    info.reference = m.reference;
    info.pages = m.pages;
    if (m.reference) {
      DataPage host = ParseDataPage(db_, rp.page, "usage map host");
      const uint8_t* row = host.Row(rp.row);
      size_t slots = (host.slots[rp.row].Length() - 1u) / 4u;
      info.slots.assign(slots, 0);
      for (size_t i = 0; i < slots; ++i) {
        uint64_t base = static_cast<uint64_t>(i) * l_.bitmap_pages_per_page;
        // Slots past the end of the file may hold stale bytes; the reader ignores them too.
        if (base >= inv_.page_count) continue;
        uint32_t pn = Le32(row + 1 + 4 * i);
        info.slots[i] = pn;
        if (pn != 0) inv_.bitmap_owner[pn] = rp.Packed();
      }
    }
  }

  // Offsets of every pointer inside the concatenated definition (#11, #12, #13, #15).
  std::vector<PointerField> DefinitionFields(const TableDef& t) {
    ByteView v(t.bytes.data(), t.tdef_len, &db_.FileName(), t.page, "table definition");
    std::vector<PointerField> f;
    f.push_back({l_.tdef_owned_map, PointerForm::kRowLe});
    f.push_back({l_.tdef_free_map, PointerForm::kRowLe});
    size_t pos = l_.tdef_var_start + static_cast<size_t>(t.num_real_idx) * l_.count_block +
                 static_cast<size_t>(t.num_cols) * l_.column_desc;
    auto skip_names = [&](size_t count) {
      for (size_t i = 0; i < count; ++i) {
        pos += l_.jet3 ? 1u + v.U8(pos, "name length") : 2u + v.U16(pos, "name length");
      }
    };
    skip_names(t.num_cols);
    for (uint32_t i = 0; i < t.num_real_idx; ++i) {
      v.Need(pos, l_.physical_index, "physical index");
      f.push_back({static_cast<uint32_t>(pos + l_.pidx_map), PointerForm::kRowLe});
      f.push_back({static_cast<uint32_t>(pos + l_.pidx_root), PointerForm::kPageLe});
      pos += l_.physical_index;
    }
    pos += static_cast<size_t>(t.num_idx) * l_.logical_index;
    skip_names(t.num_idx);
    while (v.U16(pos, "long-value map list") != 0xFFFF) {
      v.Need(pos, 10, "long-value maps");
      f.push_back({static_cast<uint32_t>(pos + 2), PointerForm::kRowLe});
      f.push_back({static_cast<uint32_t>(pos + 6), PointerForm::kRowLe});
      pos += 10;
    }
    return f;
  }

  // Links (#3) and entry pointers (#4, #5, #6) of one index page.
  void IndexFields(uint32_t pn) {
    Page p = db_.ReadPage(pn, "index page");
    ByteView v = db_.View(p, pn, "index page");
    const bool leaf = v.U8(0, "type") == kPageIndexLeaf;
    Field(pn, l_.idx_prev, PointerForm::kPageLe);
    Field(pn, l_.idx_next, PointerForm::kPageLe);
    Field(pn, l_.idx_tail, PointerForm::kPageLe);
    const size_t prefix =
        l_.jet3 ? v.U8(l_.idx_prefix, "prefix length") : v.U16(l_.idx_prefix, "prefix length");
    const size_t trailer = leaf ? 4 : 8;
    const uint8_t* mask = p->data() + l_.idx_mask;
    size_t start = 0;
    bool first = true;
    ForEachEntryEnd(mask, l_.idx_mask_len, [&](size_t q) {
      size_t full = (first ? 0 : prefix) + (q - start);
      // Pointers are patched in place; that needs them outside the shared prefix.
      if (full < trailer + prefix) {
        v.Fail("entry ending at " + Hex(l_.idx_first_entry + q) + " shares " +
               std::to_string(prefix) + " prefix bytes with its row pointer; moving its pages " +
               "would need the page re-encoded");
      }
      uint32_t end = static_cast<uint32_t>(l_.idx_first_entry + q);
      if (leaf) {
        Field(pn, end - 4, PointerForm::kRowBe);
      } else {
        Field(pn, end - 8, PointerForm::kRowBe);
        Field(pn, end - 4, PointerForm::kPageBe);
      }
      start = q;
      first = false;
    });
  }

  void FindOrphanMaps() {
    for (uint32_t pn = 0; pn < inv_.page_count; ++pn) {
      if (inv_.roles[pn] != PageRole::kMapHost) continue;
      DataPage host = ParseDataPage(db_, pn, "usage map host");
      for (size_t s = 0; s < host.slots.size(); ++s) {
        RowPointer rp{pn, static_cast<uint8_t>(s)};
        if (!host.slots[s].Live() || inv_.maps.count(rp.Packed())) continue;
        const uint8_t* row = host.Row(s);
        if (host.slots[s].Length() >= 5 && (row[0] == 0x00 || row[0] == 0x01)) {
          inv_.orphan_maps.push_back(rp);
        }
      }
    }
  }

  Database& db_;
  const Layout& l_;
  PageOwners owners_;
  PageInventory inv_;
};

// --- writing --------------------------------------------------------------------------------

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

class Writer {
 public:
  Writer(Database& db, const PageInventory& inv, const Relocation& r)
      : db_(db), l_(db.GetLayout()), inv_(inv), r_(r), old_at_(r.page_count, Relocation::kNone) {
    for (uint32_t pn = 0; pn < inv.page_count; ++pn) {
      uint32_t to = r.new_number[pn];
      if (to == Relocation::kNone) continue;
      if (!inv.Live(pn) || to >= r.page_count || old_at_[to] != Relocation::kNone) {
        db_.Fail(pn, "relocation: invalid target position " + std::to_string(to));
      }
      old_at_[to] = pn;
    }
  }

  uint32_t Run(std::ostream& out) {
    BuildDefinitions();
    // The global map last: it describes the bitmap pages the others may add.
    for (const auto& entry : inv_.maps) {
      if (!entry.second.global) BuildMap(entry.second);
    }
    for (const auto& entry : inv_.maps) {
      if (entry.second.global) BuildMap(entry.second);
    }
    for (RowPointer rp : inv_.orphan_maps) ClearOrphan(rp);
    const uint32_t ps = l_.page_size;
    std::vector<uint8_t> buf(ps);
    for (uint32_t pos = 0; pos < r_.page_count; ++pos) {
      uint32_t old = old_at_[pos];
      if (old == Relocation::kNone) {
        uint32_t stale = pos < r_.stale.size() ? r_.stale[pos] : Relocation::kNone;
        if (stale == Relocation::kNone) {
          std::fill(buf.begin(), buf.end(), 0);
        } else {
          Page p = db_.ReadPage(stale, "stale page");
          std::memcpy(buf.data(), p->data(), ps);
        }
      } else if (auto it = images_.find(old); it != images_.end()) {
        std::memcpy(buf.data(), it->second.data(), ps);
      } else {
        Page p = db_.ReadPage(old, "relocated page");
        std::memcpy(buf.data(), p->data(), ps);
        PatchPage(old, buf.data());
      }
      db_.EncodeOutputPage(pos, buf.data());
      out.write(reinterpret_cast<const char*>(buf.data()), ps);
    }
    for (size_t i = 0; i < added_.size(); ++i) {
      std::vector<uint8_t>& img = added_[i];
      db_.EncodeOutputPage(r_.page_count + static_cast<uint32_t>(i), img.data());
      out.write(reinterpret_cast<const char*>(img.data()), ps);
    }
    return OutputPages();
  }

 private:
  uint32_t NewPage(uint32_t old, uint32_t at) const {
    if (old >= inv_.page_count || r_.new_number[old] == Relocation::kNone) {
      db_.Fail(at,
               "relocation: a pointer names page " + std::to_string(old) + ", which is not kept");
    }
    return r_.new_number[old];
  }

  void Patch(uint8_t* data, size_t size, const PointerField& f, uint32_t at) const {
    if (f.offset + 4u > size) db_.Fail(at, "relocation: pointer field beyond the page");
    uint8_t* p = data + f.offset;
    switch (f.form) {
      case PointerForm::kPageLe:
        Put32(p, NewPage(Le32(p), at));
        break;
      case PointerForm::kRowLe: {
        uint32_t v = Le32(p);
        Put32(p, (NewPage(v >> 8, at) << 8) | (v & 0xFF));
        break;
      }
      case PointerForm::kRowBe: {
        uint32_t page = NewPage((p[0] << 16) | (p[1] << 8) | p[2], at);
        p[0] = static_cast<uint8_t>(page >> 16);
        p[1] = static_cast<uint8_t>(page >> 8);
        p[2] = static_cast<uint8_t>(page);
        break;
      }
      case PointerForm::kPageBe: {
        uint32_t page =
            NewPage((static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3], at);
        p[0] = static_cast<uint8_t>(page >> 24);
        p[1] = static_cast<uint8_t>(page >> 16);
        p[2] = static_cast<uint8_t>(page >> 8);
        p[3] = static_cast<uint8_t>(page);
        break;
      }
    }
  }

  // Each field once, however many structures reached it.
  void PatchAll(std::vector<PointerField> fields, uint8_t* data, size_t size, uint32_t at) const {
    std::sort(fields.begin(), fields.end(),
              [](const PointerField& a, const PointerField& b) { return a.offset < b.offset; });
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i > 0 && fields[i].offset == fields[i - 1].offset) {
        if (fields[i].form != fields[i - 1].form) {
          db_.Fail(at, "relocation: field at " + Hex(fields[i].offset) + " read two ways");
        }
        continue;
      }
      if (i > 0 && fields[i].offset < fields[i - 1].offset + 4) {
        db_.Fail(at, "relocation: pointer fields overlap at " + Hex(fields[i].offset));
      }
      Patch(data, size, fields[i], at);
    }
  }

  void PatchPage(uint32_t old, uint8_t* buf) {
    if (auto f = inv_.fields.find(old); f != inv_.fields.end()) {
      PatchAll(f->second, buf, l_.page_size, old);
    }
    if (auto rows = rows_.find(old); rows != rows_.end()) ReplaceRows(old, buf, rows->second);
  }

  // Definitions are patched as one buffer: fields may straddle the pages of the chain.
  void BuildDefinitions() {
    const uint32_t ps = l_.page_size;
    for (const PageInventory::TableDefFields& t : inv_.table_defs) {
      std::vector<uint8_t> all;
      for (size_t i = 0; i < t.chain.size(); ++i) {
        Page p = db_.ReadPage(t.chain[i], "table definition");
        all.insert(all.end(), p->begin() + (i == 0 ? 0 : 8), p->end());
      }
      PatchAll(t.fields, all.data(), all.size(), t.chain.front());
      for (size_t i = 0; i < t.chain.size(); ++i) {
        Page p = db_.ReadPage(t.chain[i], "table definition");
        std::vector<uint8_t> img(p->begin(), p->end());
        if (i == 0) {
          std::memcpy(img.data(), all.data(), ps);
        } else {
          std::memcpy(img.data() + 8, all.data() + ps + (i - 1) * (ps - 8), ps - 8);
        }
        images_[t.chain[i]] = std::move(img);
      }
    }
  }

  std::vector<uint8_t> RowBytes(RowPointer rp) {
    DataPage host = ParseDataPage(db_, rp.page, "usage map host");
    if (rp.row >= host.slots.size()) db_.Fail(rp.page, "usage map row does not exist");
    const uint8_t* row = host.Row(rp.row);
    return std::vector<uint8_t>(row, row + host.slots[rp.row].Length());
  }

  // Pages of the output: the relocated ones, then bitmap pages added for converted maps.
  uint32_t OutputPages() const { return r_.page_count + static_cast<uint32_t>(added_.size()); }
  bool Used(uint64_t pos) const {
    return pos < r_.page_count ? old_at_[pos] != Relocation::kNone : pos < OutputPages();
  }

  static void SetBit(uint8_t* bits, uint64_t i) {
    bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }

  void BuildMap(const MapRowInfo& m) {
    std::vector<uint8_t> row = RowBytes(m.where);
    std::vector<uint32_t> pages;
    for (uint32_t p : m.pages) {
      if (inv_.Live(p)) pages.push_back(NewPage(p, m.where.page));
    }
    std::sort(pages.begin(), pages.end());
    if (m.global) pages.clear();  // its set bits are free pages, described below
    bool reference = m.reference;
    std::vector<uint32_t> slots = m.slots;
    if (!reference && m.global) {
      const uint64_t n = OutputPages();
      uint64_t bits = 8ull * (row.size() - 5);
      if (Le32(row.data() + 1) != 0) db_.Fail(1, "global usage map does not start at page 0");
      if (bits < n) {
        // A longer file needs a longer row, sized as Access sizes it: 32 pages per 4 bytes.
        row.resize(5 + (n + 31) / 32 * 4);
        bits = 8ull * (row.size() - 5);
      }
      std::fill(row.begin() + 5, row.end(), 0);
      for (uint64_t p = 0; p < bits; ++p) {
        if (!Used(p)) SetBit(row.data() + 5, p);
      }
    } else if (!reference) {
      const uint64_t bits = 8ull * (row.size() - 5);
      std::fill(row.begin() + 5, row.end(), 0);
      uint32_t start = pages.empty() ? Le32(row.data() + 1) : pages.front() & ~7u;
      if (pages.empty() || pages.back() - start < bits) {
        Put32(row.data() + 1, start);
        for (uint32_t p : pages) SetBit(row.data() + 5, p - start);
      } else {
        // The pages no longer fit the row's window: describe them on bitmap pages instead.
        reference = true;
        slots.clear();
        std::fill(row.begin(), row.end(), 0);
        row[0] = 0x01;
      }
    }
    if (reference) {
      const uint64_t per = l_.bitmap_pages_per_page;
      for (size_t i = 0; 1 + 4 * (i + 1) <= row.size(); ++i) {
        const uint64_t base = i * per;
        // A global map without a page for a range leaves it undescribed, as the input did.
        bool needed = !m.global && std::any_of(pages.begin(), pages.end(), [&](uint32_t p) {
          return p >= base && p < base + per;
        });
        uint32_t old_bp = i < slots.size() ? slots[i] : 0;
        if (old_bp == 0 && !needed) continue;
        std::vector<uint8_t> img(l_.page_size, 0);
        img[0] = kPageUsageBitmap;
        img[1] = 0x01;
        for (uint64_t k = 0; m.global && k < per; ++k) {
          if (!Used(base + k)) SetBit(img.data() + 4, k);
        }
        for (uint32_t p : pages) {
          if (p >= base && p < base + per) SetBit(img.data() + 4, p - base);
        }
        if (old_bp != 0) {
          Put32(row.data() + 1 + 4 * i, NewPage(old_bp, m.where.page));
          images_[old_bp] = std::move(img);
        } else {
          Put32(row.data() + 1 + 4 * i, OutputPages());
          added_.push_back(std::move(img));
        }
      }
    }
    rows_[m.where.page][m.where.row] = std::move(row);
  }

  // A map row nobody refers to describes pages that are gone: it keeps its shape, not its bits.
  void ClearOrphan(RowPointer rp) {
    std::vector<uint8_t> row = RowBytes(rp);
    std::fill(row.begin() + (row[0] == 0x00 ? 5 : 1), row.end(), 0);
    rows_[rp.page][rp.row] = std::move(row);
  }

  void ReplaceRows(uint32_t old, uint8_t* buf,
                   const std::map<uint8_t, std::vector<uint8_t>>& rows) {
    DataPage host = ParseDataPage(db_, old, "usage map host");
    bool same = true;
    for (const auto& [slot, bytes] : rows) {
      same = same && host.slots.at(slot).Length() == bytes.size();
    }
    if (same) {
      for (const auto& [slot, bytes] : rows) {
        std::memcpy(buf + host.slots[slot].offset, bytes.data(), bytes.size());
      }
      return;
    }
    // A row changed length: lay every row out again from the end of the page.
    std::vector<RowImage> all;
    for (size_t s = 0; s < host.slots.size(); ++s) {
      auto it = rows.find(static_cast<uint8_t>(s));
      if (it != rows.end()) {
        all.push_back({it->second.data(), it->second.size(), host.slots[s].flags});
      } else {
        all.push_back({host.Row(s), host.slots[s].Length(), host.slots[s].flags});
      }
    }
    if (!LayOutRows(l_, buf, all)) db_.Fail(old, "usage map host: rows no longer fit the page");
  }

  Database& db_;
  const Layout& l_;
  const PageInventory& inv_;
  const Relocation& r_;
  std::vector<uint32_t> old_at_;                               // per output position
  std::unordered_map<uint32_t, std::vector<uint8_t>> images_;  // whole pages, by old number
  std::unordered_map<uint32_t, std::map<uint8_t, std::vector<uint8_t>>> rows_;  // host rows
  std::vector<std::vector<uint8_t>> added_;  // new bitmap pages, written after the others
};

}  // namespace

WalkOptions InventoryVisitor::Options() {
  WalkOptions options;
  options.row_pages = true;
  return options;
}

std::unique_ptr<InventoryVisitor> NewInventoryVisitor(Database& db) {
  return std::make_unique<Collector>(db);
}

PageInventory CollectInventory(Database& db) {
  Collector c(db);
  WalkPages(db, c, InventoryVisitor::Options());
  return c.Finish();
}

Relocation PackDown(const PageInventory& inv, uint32_t gap) {
  Relocation r;
  const uint32_t n = inv.page_count;
  r.new_number.assign(n, Relocation::kNone);
  uint32_t end = 2;
  for (uint32_t pn = 0; pn < n; ++pn) {
    if (inv.Live(pn) && inv.Fixed(pn)) {
      r.new_number[pn] = pn;
      end = pn + 1;
    }
  }
  auto fixed_at = [&](uint32_t pos) { return pos < n && inv.Live(pos) && inv.Fixed(pos); };
  uint32_t next = 0;
  for (uint32_t pn = 0; pn < n; ++pn) {
    if (!inv.Live(pn) || inv.Fixed(pn)) continue;
    for (uint32_t g = 0; g <= gap; ++g) {
      while (fixed_at(next)) ++next;
      if (g < gap) ++next;  // a free page
    }
    r.new_number[pn] = next++;
  }
  r.page_count = std::max(end, next);
  return r;
}

uint32_t WriteRelocated(Database& db, const PageInventory& inv, const Relocation& r,
                        std::ostream& out) {
  return Writer(db, inv, r).Run(out);
}

}  // namespace orvelle::jet
