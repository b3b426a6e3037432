#include "jet/page_walk.h"

#include <unordered_map>

#include "jet/long_value.h"

namespace orvelle::jet {

bool KnownType(uint8_t type) {
  return (type >= kBool && type <= kMemo) || (type >= kGuid && type <= 0x14);
}

PageOwners::Outcome PageOwners::Claim(uint32_t pn, PageRole role, uint32_t table, Sharing sharing) {
  if (pn >= owners_.size()) return Outcome::kBeyondEnd;
  Owner& o = owners_[pn];
  if (o.role == PageRole::kNone) {
    o = {role, table};
    return Outcome::kFirst;
  }
  if (o.role != role) return Outcome::kConflict;
  if (sharing == Sharing::kSameRole || role == PageRole::kMapHost) return Outcome::kAgain;
  return role == PageRole::kTableDef && o.table == table ? Outcome::kAgain : Outcome::kConflict;
}

namespace {

constexpr int kMaxOverflowHops = 16;

using LongValuePages = std::unordered_map<uint16_t, std::vector<uint32_t>>;

class Walker {
 public:
  Walker(Database& db, PageVisitor& v, const WalkOptions& o) : db_(db), v_(v), o_(o) {}

  void Run() {
    v_.Claim(0, PageRole::kHeader, 0, Reach::kReached, "header");
    v_.Claim(1, PageRole::kMapHost, 0, Reach::kReached, "global usage map");
    UsageMap global;
    const bool have_global = Guard([&] { global = ReadGlobalMap(db_); });
    std::unordered_map<uint32_t, std::string> by_tdef;
    for (const CatalogEntry& e : db_.Catalog()) {
      auto [it, fresh] = by_tdef.emplace(e.id, e.name);
      if (!fresh && !v_.OnDuplicateTable(e, it->second)) continue;
      Table(e);
    }
    v_.OnTablesDone();
    if (have_global) {
      for (uint32_t b : global.bitmap_pages) {
        v_.Claim(b, PageRole::kBitmap, 0, Reach::kReached, "global usage map");
      }
      v_.OnGlobalMap(global);
    }
  }

 private:
  template <typename F>
  bool Guard(F&& f) {
    try {
      f();
      return true;
    } catch (const JetError& e) {
      v_.OnError(e);
      return false;
    }
  }

  // A step only row pages need: its failure is the visitor's to judge.
  template <typename F>
  void RowPages(F&& f) {
    try {
      f();
    } catch (...) {
      v_.OnRowPagesFailed();
    }
  }

  void Map(const UsageMap& m, MapUse use, uint32_t table, const std::string& what) {
    if (m.present) v_.Claim(m.where.page, PageRole::kMapHost, table, Reach::kReached, what);
    for (uint32_t b : m.bitmap_pages) v_.Claim(b, PageRole::kBitmap, table, Reach::kReached, what);
    v_.OnMap(m, use, table, what);
  }

  void Table(const CatalogEntry& e) {
    TableDef t;
    if (!Guard([&] { t = ReadTableDef(db_, e.id); })) {
      v_.OnTableEnd(e, nullptr);
      return;
    }
    const std::string tname = "table \"" + e.name + "\"";
    for (uint32_t p : t.chain) v_.Claim(p, PageRole::kTableDef, t.page, Reach::kReached, tname);
    v_.OnTable(e, t);
    Guard([&] { Rows(t, tname); });
    for (size_t i = 0; i < t.physical.size(); ++i) {
      Guard([&] { Index(t, i, tname); });
    }
    v_.OnTableEnd(e, &t);
  }

  void Rows(const TableDef& t, const std::string& tname) {
    const std::string owned_what = tname + " owned-pages map";
    const UsageMap owned = ReadUsageMap(db_, t.owned_map, owned_what);
    Map(owned, MapUse::kOwnedPages, t.page, owned_what);
    // Map pages come ascending and once each.
    for (uint32_t p : owned.pages) {
      v_.Claim(p, PageRole::kData, t.page, Reach::kListed, owned_what);
    }
    const std::string free_what = tname + " free-space map";
    const UsageMap free_map = ReadUsageMap(db_, t.free_map, free_what);
    Map(free_map, MapUse::kFreeSpace, t.page, free_what);
    v_.OnFreeSpaceMap(t, tname, free_map.pages, owned.pages);
    // Long-value columns: the pages each may use.
    LongValuePages lv_pages;
    for (const LongValueMaps& m : t.long_value_maps) {
      const std::string what = tname + " column " + std::to_string(m.column) + " long-value map";
      UsageMap om = ReadUsageMap(db_, m.owned, what);
      Map(om, MapUse::kLongValueOwned, t.page, what);
      std::vector<uint32_t>& pages = lv_pages[m.column];
      pages = std::move(om.pages);
      const UsageMap fm = ReadUsageMap(db_, m.free, what);
      Map(fm, MapUse::kLongValueFree, t.page, what);
      for (uint32_t p : pages) {
        v_.Claim(p, PageRole::kLongValue, t.page, Reach::kListed, what);
        Guard([&] { v_.OnListedLongValuePage(p); });
      }
    }
    for (uint32_t p : owned.pages) {
      Guard([&] {
        const DataPage d = ParseDataPage(db_, p, "data page");
        v_.OnDataPage(t, d);
        for (size_t s = 0; s < d.slots.size(); ++s) {
          if (d.slots[s].Live()) Row(t, tname, d, s, lv_pages);
        }
      });
    }
  }

  void Row(const TableDef& t, const std::string& tname, const DataPage& d, size_t s,
           const LongValuePages& lv_pages) {
    if (o_.row_pages) {
      v_.Claim(d.number, PageRole::kData, t.page, Reach::kRow, tname);
      if (d.slots[s].flags & kRowOverflowHeader) RowPages([&] { Hops(t, tname, d, s); });
    }
    const LiveRow r = FollowRow(db_, t, d, s);
    v_.OnRow(t, r);
    CrackRow(db_, t, r, cracked_);
    const CrackedRow& cr = cracked_;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const Column& c = t.columns[k];
      const ColumnData& cd = cr.columns[k];
      if (!c.Fixed() && !KnownType(c.type) && cd.present && cd.size > 0) {
        v_.OnUnknownTypeData(t, tname, c, r);
      }
      if (!c.IsLongValue() || !cd.present) continue;
      std::vector<uint32_t> pages;
      ReadLongValue(
          db_, cd.data, cd.size, r.data.page, c.name, [](const uint8_t*, size_t) {}, &pages);
      auto allowed = lv_pages.find(c.number);
      v_.OnLongValue(t, c, r, pages, allowed == lv_pages.end() ? nullptr : &allowed->second);
      if (o_.row_pages) RowPages([&] { LongValueLinks(t, tname, c, r, cd, pages); });
    }
  }

  // The overflow pointers from a row's header to its data, each page reached claimed.
  void Hops(const TableDef& t, const std::string& tname, const DataPage& d, size_t s) {
    const DataPage* cur = &d;
    DataPage next;
    size_t slot = s;
    for (int hop = 0; cur->slots[slot].flags & kRowOverflowHeader; ++hop) {
      if (hop > kMaxOverflowHops) db_.Fail(d.number, "data page: overflow chain too long");
      v_.OnOverflowPointer(cur->number, cur->slots[slot].offset);
      const RowPointer to = RowPointer::FromLe(Le32(cur->Row(slot)));
      next = ParseDataPage(db_, to.page, "overflow row");
      cur = &next;
      if (to.row >= cur->slots.size()) db_.Fail(to.page, "overflow row: row does not exist");
      v_.Claim(to.page, PageRole::kData, t.page, Reach::kRow, tname);
      slot = to.row;
    }
  }

  void LongValueLinks(const TableDef& t, const std::string& tname, const Column& c,
                      const LiveRow& r, const ColumnData& cd, const std::vector<uint32_t>& pages) {
    const LongValueHeader h = ParseLongValueHeader(db_, cd.data, cd.size, r.data.page, c.name);
    if (h.kind == kLvInline) return;
    v_.OnLongValuePointer(r.data.page, static_cast<uint32_t>(cd.data - r.page->data()) + 4);
    const std::string what = tname + " column \"" + c.name + "\"";
    for (uint32_t p : pages) v_.Claim(p, PageRole::kLongValue, t.page, Reach::kRow, what);
    if (h.kind != kLvChain) return;
    RowPointer rp = h.first;
    for (size_t n = 0; n < pages.size() && !rp.IsNull(); ++n) {
      const DataPage lp = ParseDataPage(db_, rp.page, "long-value page");
      v_.OnLongValueLink(rp.page, lp.slots.at(rp.row).offset);
      rp = RowPointer::FromLe(Le32(lp.Row(rp.row)));
    }
  }

  void Index(const TableDef& t, size_t i, const std::string& tname) {
    std::string what = tname + " index " + std::to_string(i);
    for (const LogicalIndex& li : t.logical) {
      if (li.physical == i) {
        what = tname + " index \"" + li.name + "\"";
        break;
      }
    }
    const std::string map_what = what + " usage map";
    const UsageMap m = ReadUsageMap(db_, t.physical[i].map, map_what);
    Map(m, MapUse::kIndex, t.page, map_what);
    const IndexTree tree = ReadIndexTree(db_, t, i);
    for (uint32_t p : tree.pages) {
      v_.Claim(p, PageRole::kIndex, t.page, Reach::kReached, what);
      v_.OnIndexPage(t, i, p, m, what);
    }
    v_.OnIndexTree(t, i, m, tree, what);
  }

  Database& db_;
  PageVisitor& v_;
  const WalkOptions& o_;
  CrackedRow cracked_;  // the row being walked, its storage reused from row to row
};

}  // namespace

void WalkPages(Database& db, PageVisitor& v, const WalkOptions& options) {
  Walker(db, v, options).Run();
}

// Called inside the walk's handler: the error is the current exception.
void PairedVisitor::OnError(const JetError& e) {
  if (!error_) error_ = std::current_exception();
  a_.OnError(e);
}

void PairedVisitor::Claim(uint32_t pn, PageRole role, uint32_t table, Reach reach,
                          const std::string& what) {
  a_.Claim(pn, role, table, reach, what);
  Second([&] { b_.Claim(pn, role, table, reach, what); });
}

bool PairedVisitor::OnDuplicateTable(const CatalogEntry& e, const std::string& first) {
  const bool again = a_.OnDuplicateTable(e, first);
  Second([&] { b_.OnDuplicateTable(e, first); });
  return again;
}

void PairedVisitor::OnTable(const CatalogEntry& e, const TableDef& t) {
  a_.OnTable(e, t);
  Second([&] { b_.OnTable(e, t); });
}

void PairedVisitor::OnTableEnd(const CatalogEntry& e, const TableDef* t) {
  a_.OnTableEnd(e, t);
  Second([&] { b_.OnTableEnd(e, t); });
}

void PairedVisitor::OnTablesDone() {
  a_.OnTablesDone();
  Second([&] { b_.OnTablesDone(); });
}

void PairedVisitor::OnMap(const UsageMap& m, MapUse use, uint32_t table, const std::string& what) {
  a_.OnMap(m, use, table, what);
  Second([&] { b_.OnMap(m, use, table, what); });
}

void PairedVisitor::OnFreeSpaceMap(const TableDef& t, const std::string& tname,
                                   const std::vector<uint32_t>& free,
                                   const std::vector<uint32_t>& owned) {
  a_.OnFreeSpaceMap(t, tname, free, owned);
  Second([&] { b_.OnFreeSpaceMap(t, tname, free, owned); });
}

void PairedVisitor::OnListedLongValuePage(uint32_t pn) {
  a_.OnListedLongValuePage(pn);
  Second([&] { b_.OnListedLongValuePage(pn); });
}

void PairedVisitor::OnDataPage(const TableDef& t, const DataPage& d) {
  a_.OnDataPage(t, d);
  Second([&] { b_.OnDataPage(t, d); });
}

void PairedVisitor::OnOverflowPointer(uint32_t page, uint32_t offset) {
  Second([&] { b_.OnOverflowPointer(page, offset); });
}

void PairedVisitor::OnRow(const TableDef& t, const LiveRow& r) {
  a_.OnRow(t, r);
  Second([&] { b_.OnRow(t, r); });
}

void PairedVisitor::OnUnknownTypeData(const TableDef& t, const std::string& tname, const Column& c,
                                      const LiveRow& r) {
  a_.OnUnknownTypeData(t, tname, c, r);
  Second([&] { b_.OnUnknownTypeData(t, tname, c, r); });
}

void PairedVisitor::OnLongValue(const TableDef& t, const Column& c, const LiveRow& r,
                                const std::vector<uint32_t>& pages,
                                const std::vector<uint32_t>* allowed) {
  a_.OnLongValue(t, c, r, pages, allowed);
  Second([&] { b_.OnLongValue(t, c, r, pages, allowed); });
}

void PairedVisitor::OnLongValuePointer(uint32_t page, uint32_t offset) {
  Second([&] { b_.OnLongValuePointer(page, offset); });
}

void PairedVisitor::OnLongValueLink(uint32_t page, uint32_t offset) {
  Second([&] { b_.OnLongValueLink(page, offset); });
}

// Called inside the walk's handler. The row goes on for the first, which never follows row
// pages itself.
void PairedVisitor::OnRowPagesFailed() {
  if (!error_) error_ = std::current_exception();
}

void PairedVisitor::OnIndexPage(const TableDef& t, size_t i, uint32_t pn, const UsageMap& m,
                                const std::string& what) {
  a_.OnIndexPage(t, i, pn, m, what);
  Second([&] { b_.OnIndexPage(t, i, pn, m, what); });
}

void PairedVisitor::OnIndexTree(const TableDef& t, size_t i, const UsageMap& m,
                                const IndexTree& tree, const std::string& what) {
  a_.OnIndexTree(t, i, m, tree, what);
  Second([&] { b_.OnIndexTree(t, i, m, tree, what); });
}

void PairedVisitor::OnGlobalMap(const UsageMap& global) {
  a_.OnGlobalMap(global);
  Second([&] { b_.OnGlobalMap(global); });
}

}  // namespace orvelle::jet
