#include "jet/checker.h"

#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/page_role.h"
#include "jet/rows.h"
#include "jet/slot_set.h"
#include "jet/table_def.h"
#include "jet/usage_map.h"

namespace orvelle::jet {

std::string Finding::Describe() const {
  return page >= 0 ? "page " + std::to_string(page) + ": " + text : text;
}

bool CheckReport::Consistent() const {
  return std::none_of(findings.begin(), findings.end(),
                      [](const Finding& f) { return f.severity == Severity::kError; });
}

namespace {

struct Owner {
  PageRole role = PageRole::kNone;
  uint32_t table = 0;  // TDEF page
};

class Checker {
 public:
  Checker(Database& db, CheckObserver* observer)
      : db_(db),
        observer_(observer),
        owners_(db.PageCount()),
        keep_(db.PageCount()),
        live_rows_(db.PageCount()) {}

  CheckReport Run() {
    report_.version = db_.GetHeader().version;
    report_.page_size = db_.PageSize();
    report_.page_count = db_.PageCount();
    if (db_.TrailingBytes()) {
      Add(Severity::kWarning, -1,
          "file length is not a whole number of " + std::to_string(db_.PageSize()) +
              "-byte pages: " + std::to_string(db_.TrailingBytes()) +
              (db_.TrailingBytes() == 1 ? " trailing byte ignored" : " trailing bytes ignored"));
    }
    Claim(0, PageRole::kHeader, 0, "header");
    Claim(1, PageRole::kMapHost, 0, "global usage map");
    UsageMap global;
    bool have_global = Guard([&] { global = ReadGlobalMap(db_); });
    std::unordered_map<uint32_t, std::string> by_tdef;
    for (const CatalogEntry& e : db_.Catalog()) {
      auto [it, fresh] = by_tdef.emplace(e.id, e.name);
      if (!fresh) {
        Add(Severity::kError, e.id,
            "catalogue: table \"" + e.name + "\" has the same definition page as \"" + it->second +
                "\"");
        continue;
      }
      CheckTable(e);
    }
    // Definition fields no reader needs come after what the tables' contents showed.
    for (Finding& f : deferred_) report_.findings.push_back(std::move(f));
    if (have_global) {
      for (uint32_t b : global.bitmap_pages) Claim(b, PageRole::kBitmap, 0, "global usage map");
      CompareGlobal(global);
    }
    CountTablePages();
    uint32_t keep = 0;
    for (uint32_t p = 0; p < db_.PageCount(); ++p) keep += keep_[p] ? 1 : 0;
    report_.pages_reclaimable = db_.PageCount() - keep;
    return std::move(report_);
  }

 private:
  void Add(Severity s, int64_t page, std::string text) {
    report_.findings.push_back({s, page, std::move(text)});
  }

  // Runs a step; a JetError becomes one finding.
  template <typename F>
  bool Guard(F&& f) {
    try {
      f();
      return true;
    } catch (const JetError& e) {
      Add(Severity::kError, e.Page(), e.Text());
      return false;
    }
  }

  void Claim(uint32_t pn, PageRole role, uint32_t table, const std::string& what) {
    if (pn >= owners_.size()) {
      Add(Severity::kError, pn, what + ": page beyond end of file");
      return;
    }
    Owner& o = owners_[pn];
    keep_[pn] = keep_[pn] || (role != PageRole::kData && role != PageRole::kLongValue);
    if (o.role == PageRole::kNone) {
      o = {role, table};
      return;
    }
    if (o.role == PageRole::kMapHost && role == PageRole::kMapHost) return;  // hosts are shared
    if (o.role == role && o.table == table && role == PageRole::kTableDef) return;
    Add(Severity::kError, pn,
        std::string("claimed twice: as ") + PageRoleName(o.role) + " of table definition " +
            std::to_string(o.table) + " and as " + PageRoleName(role) + " (" + what + ")");
  }

  // The pages a map lists, ascending, once each.
  std::vector<uint32_t> ClaimMap(const UsageMap& m, uint32_t table, const std::string& what) {
    if (m.present) Claim(m.where.page, PageRole::kMapHost, table, what);
    for (uint32_t b : m.bitmap_pages) Claim(b, PageRole::kBitmap, table, what);
    if (m.beyond_eof) {
      Add(Severity::kError, m.where.page,
          what + " at " + jet::Describe(m.where) + ": lists page " +
              std::to_string(m.first_beyond_eof) + " beyond end of file (" +
              std::to_string(m.beyond_eof) + " pages)");
    }
    std::vector<uint32_t> pages = m.pages;
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    return pages;
  }

  void CheckTable(const CatalogEntry& e) {
    TableSummary sum;
    sum.name = e.name;
    sum.tdef = e.id;
    sum.type = e.type;
    sum.system = e.System();
    TableDef t;
    if (!Guard([&] { t = ReadTableDef(db_, e.id); })) {
      report_.tables.push_back(sum);
      return;
    }
    const std::string tname = "table \"" + e.name + "\"";
    for (uint32_t p : t.chain) Claim(p, PageRole::kTableDef, t.page, tname);
    // The live rows of the table, a bit per slot: index entries must each reach one.
    live_count_ = 0;
    live_pages_.clear();
    observing_ = observer_ && observer_->Begin(e, t);
    Guard([&] { CheckRows(t, tname); });
    sum.live_rows = live_count_;
    for (size_t i = 0; i < t.physical.size(); ++i) {
      Guard([&] { CheckIndex(t, i, tname); });
    }
    if (observing_) {
      observing_ = false;
      observer_->End();
    }
    for (uint32_t p : live_pages_) live_rows_.ClearPage(p);
    CheckDefinition(t, tname);
    report_.tables.push_back(sum);
  }

  // Fields a compaction carries over without needing them itself: the table type, the counts
  // against their lists, the constants every definition holds. Findings go to deferred_.
  void CheckDefinition(const TableDef& t, const std::string& tname) {
    const Layout& l = db_.GetLayout();
    auto fail = [&](const std::string& text) {
      deferred_.push_back({Severity::kError, t.page, tname + " definition: " + text});
    };
    if (t.table_type != 0x4E && t.table_type != 0x53) {
      fail("table type " + Hex(t.table_type) + ", expected 0x4E (user) or 0x53 (system)");
    }
    // A table holds at most 255 columns, deleted ones included.
    if (t.max_cols > 255 || t.max_cols < t.num_cols) {
      fail("maximum column count " + std::to_string(t.max_cols) + " for " +
           std::to_string(t.num_cols) + " columns (at most 255)");
    }
    if (t.num_var_cols > t.max_cols) {
      fail("variable column count " + std::to_string(t.num_var_cols) +
           " above the maximum column count " + std::to_string(t.max_cols));
    }
    std::unordered_map<uint16_t, const Column*> numbers, var_slots;
    for (const Column& c : t.columns) {
      auto [n, fresh] = numbers.emplace(c.number, &c);
      if (!fresh) {
        fail("column \"" + c.name + "\" has the number " + std::to_string(c.number) +
             " of column \"" + n->second->name + "\"");
      }
      if (!l.jet3 && Le32(t.bytes.data() + c.block + 1) != 1625) {
        fail("column \"" + c.name + "\" descriptor lacks the constant 1625");
      }
      if (c.Fixed()) continue;
      if (c.var_index >= t.num_var_cols) {
        fail("column \"" + c.name + "\" has variable index " + std::to_string(c.var_index) +
             ", not below the variable column count " + std::to_string(t.num_var_cols));
      } else if (auto [v, fresh_slot] = var_slots.emplace(c.var_index, &c); !fresh_slot) {
        fail("column \"" + c.name + "\" has the variable index " + std::to_string(c.var_index) +
             " of column \"" + v->second->name + "\"");
      }
    }
    if (!l.jet3 && Le32(t.bytes.data() + 0x0C) != 1625)
      fail("the constant 1625 at 0x0C is missing");
    if (t.num_real_idx > t.num_idx) {
      fail(std::to_string(t.num_real_idx) + " physical indexes for " + std::to_string(t.num_idx) +
           " logical ones");
    }
    std::vector<bool> used(t.physical.size(), false);
    std::unordered_set<uint32_t> logical_numbers;
    for (const LogicalIndex& li : t.logical) {
      used[li.physical] = true;
      if (!logical_numbers.insert(li.number).second) {
        fail("logical index \"" + li.name + "\" repeats the number " + std::to_string(li.number));
      }
      if (!l.jet3 && Le32(t.bytes.data() + li.block) != 1625) {
        fail("logical index \"" + li.name + "\" lacks the constant 1625");
      }
    }
    for (size_t i = 0; i < t.physical.size(); ++i) {
      if (!used[i]) fail("physical index " + std::to_string(i) + " belongs to no logical index");
      if (!l.jet3 && Le32(t.bytes.data() + t.physical[i].block) != 1923) {
        fail("physical index " + std::to_string(i) + " lacks the constant 1923");
      }
    }
    std::unordered_set<uint16_t> mapped;
    for (const LongValueMaps& m : t.long_value_maps) {
      if (!t.ColumnByNumber(m.column)) {
        fail("long-value maps for column number " + std::to_string(m.column) +
             ", which the table does not have");
      } else if (!mapped.insert(m.column).second) {
        fail("two long-value map entries for column number " + std::to_string(m.column));
      }
    }
    for (const Column& c : t.columns) {
      if (c.IsLongValue() && !mapped.count(c.number)) {
        fail("long-value column \"" + c.name + "\" has no long-value maps");
      }
    }
  }

  void CountTablePages() {
    std::unordered_map<uint32_t, uint32_t> count;
    for (const Owner& o : owners_) {
      if (o.role != PageRole::kNone && o.role != PageRole::kMapHost &&
          o.role != PageRole::kHeader) {
        ++count[o.table];
      }
    }
    for (TableSummary& t : report_.tables) t.pages = count[t.tdef];
  }

  void CheckRows(const TableDef& t, const std::string& tname) {
    const Layout& l = db_.GetLayout();
    UsageMap owned = ReadUsageMap(db_, t.owned_map, tname + " owned-pages map");
    const std::vector<uint32_t> data_pages = ClaimMap(owned, t.page, tname + " owned-pages map");
    for (uint32_t p : data_pages) Claim(p, PageRole::kData, t.page, tname + " owned-pages map");
    UsageMap free_map = ReadUsageMap(db_, t.free_map, tname + " free-space map");
    for (uint32_t p : ClaimMap(free_map, t.page, tname + " free-space map")) {
      if (!std::binary_search(data_pages.begin(), data_pages.end(), p)) {
        Add(Severity::kError, p,
            tname + " free-space map lists the page, its owned-pages map does not");
      }
    }
    // Long-value columns: the pages each may use.
    std::unordered_map<uint16_t, std::vector<uint32_t>> lv_pages;
    for (const LongValueMaps& m : t.long_value_maps) {
      std::string what = tname + " column " + std::to_string(m.column) + " long-value map";
      UsageMap om = ReadUsageMap(db_, m.owned, what);
      lv_pages[m.column] = ClaimMap(om, t.page, what);
      UsageMap fm = ReadUsageMap(db_, m.free, what);
      ClaimMap(fm, t.page, what);
      for (uint32_t p : lv_pages[m.column]) {
        Claim(p, PageRole::kLongValue, t.page, what);
        Guard([&] {
          DataPage d = ParseDataPage(db_, p, "long-value page");
          if (d.owner != kLvalOwner) {
            db_.Fail(p, "long-value page: owner " + Hex(d.owner) + ", expected \"LVAL\"");
          }
          CheckFreeSpace(d, l);
        });
      }
    }
    for (uint32_t p : data_pages) {
      Guard([&] {
        DataPage d = ParseDataPage(db_, p, "data page");
        if (d.owner != t.page) {
          db_.Fail(p, "data page: owner " + std::to_string(d.owner) +
                          ", expected table definition page " + std::to_string(t.page));
        }
        CheckFreeSpace(d, l);
        for (size_t s = 0; s < d.slots.size(); ++s) {
          if (!d.slots[s].Live()) continue;
          LiveRow r = FollowRow(db_, t, d, s);
          if (!t.physical.empty()) {
            if (live_pages_.empty() || live_pages_.back() != p) live_pages_.push_back(p);
            live_rows_.Insert(r.header);
          }
          ++live_count_;
          keep_[r.header.page] = true;
          keep_[r.data.page] = true;
          CheckLongValues(t, r, lv_pages);
          if (observing_) observer_->Row(r);
        }
      });
    }
  }

  void CheckFreeSpace(const DataPage& d, const Layout& l) {
    uint32_t used = l.data_header + 2u * static_cast<uint32_t>(d.slots.size());
    for (const Slot& s : d.slots) used += s.Length();
    if (d.free_space != l.page_size - used) {
      db_.Fail(d.number, "data page: free space " + std::to_string(d.free_space) + ", rows leave " +
                             std::to_string(l.page_size - used));
    }
  }

  static bool KnownType(uint8_t type) {
    return (type >= kBool && type <= kMemo) || (type >= kGuid && type <= 0x14);
  }

  void CheckLongValues(const TableDef& t, const LiveRow& r,
                       const std::unordered_map<uint16_t, std::vector<uint32_t>>& lv_pages) {
    CrackRow(db_, t, r, cracked_);
    const CrackedRow& cr = cracked_;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const Column& c = t.columns[k];
      const ColumnData& d = cr.columns[k];
      if (!c.Fixed() && !KnownType(c.type) && d.present && d.size > 0 &&
          unknown_reported_.insert(t.page).second) {
        Add(Severity::kWarning, r.header.page,
            "column \"" + c.name + "\" of table definition " + std::to_string(t.page) +
                " has the unknown type " + Hex(c.type) + " and holds data (" +
                jet::Describe(r.header) + "); a compactor must not assume it pointer-free");
      }
      if (!c.IsLongValue() || !d.present) continue;
      std::vector<uint32_t> pages;
      ReadLongValue(
          db_, d.data, d.size, r.data.page, c.name, [](const uint8_t*, size_t) {}, &pages);
      auto allowed = lv_pages.find(c.number);
      for (uint32_t p : pages) {
        keep_[p] = true;
        if (allowed == lv_pages.end() ||
            !std::binary_search(allowed->second.begin(), allowed->second.end(), p)) {
          db_.Fail(p, "long-value page: used by column \"" + c.name + "\" (" +
                          jet::Describe(r.header) + ") but not in its owned-pages map");
        }
      }
    }
  }

  void CheckIndex(const TableDef& t, size_t i, const std::string& tname) {
    const PhysicalIndex& pi = t.physical[i];
    std::string what = tname + " index " + std::to_string(i);
    for (const LogicalIndex& li : t.logical) {
      if (li.physical == i) {
        what = tname + " index \"" + li.name + "\"";
        break;
      }
    }
    UsageMap m = ReadUsageMap(db_, pi.map, what + " usage map");
    const std::vector<uint32_t> mapped = ClaimMap(m, t.page, what + " usage map");
    std::vector<bool> in_tree(mapped.size(), false);
    IndexTree tree = ReadIndexTree(db_, t, i);
    if (observing_) observer_->Index(i, tree);
    for (uint32_t p : tree.pages) {
      Claim(p, PageRole::kIndex, t.page, what);
      auto at = std::lower_bound(mapped.begin(), mapped.end(), p);
      const size_t k = static_cast<size_t>(at - mapped.begin());
      if (at == mapped.end() || *at != p || in_tree[k]) {
        db_.Fail(p, "index page: in the tree of " + what + " but not in its usage map");
      }
      in_tree[k] = true;
    }
    auto missing = std::find(in_tree.begin(), in_tree.end(), false);
    if (missing != in_tree.end()) {
      db_.Fail(mapped[static_cast<size_t>(missing - in_tree.begin())],
               "index page: in the usage map of " + what + " but not in its tree");
    }
    for (size_t k = 0; k < tree.entries.size(); ++k) {
      const RowPointer rp = tree.entries[k].row;
      if (!live_rows_.Contains(rp)) {
        db_.Fail(tree.entries[k].leaf, "index page: " + what + " entry " + std::to_string(k) +
                                           " points at " + jet::Describe(rp) + ", not a live row");
      }
    }
    if (pi.IgnoreNulls() ? tree.entries.size() > live_count_ : tree.entries.size() != live_count_) {
      db_.Fail(pi.root, "index page: " + what + " has " + std::to_string(tree.entries.size()) +
                            " entries for " + std::to_string(live_count_) + " live rows");
    }
  }

  void CompareGlobal(const UsageMap& global) {
    std::vector<bool> free(db_.PageCount(), false);
    for (uint32_t p : global.pages) free[p] = true;
    uint32_t first_leak = 0;
    for (uint32_t p = 0; p < db_.PageCount(); ++p) {
      const Owner& o = owners_[p];
      bool covered = global.Covers(p);
      if (o.role != PageRole::kNone) {
        ++report_.pages_live;
        if (covered && free[p]) {
          Add(Severity::kError, p,
              std::string("global usage map marks the page free, but it is a ") +
                  PageRoleName(o.role) + " of table definition " + std::to_string(o.table));
        }
      } else if (!covered || free[p]) {
        ++report_.pages_free;
      } else {
        if (report_.pages_leaked++ == 0) first_leak = p;
      }
    }
    if (report_.pages_leaked) {
      Add(Severity::kLeak, first_leak,
          std::to_string(report_.pages_leaked) +
              " pages marked used in the global usage map are not reachable (leaked), first "
              "this one");
    }
  }

  Database& db_;
  CheckObserver* observer_;
  bool observing_ = false;  // the observer wants the current table
  std::vector<Owner> owners_;
  std::vector<bool> keep_;               // pages a page-level compaction keeps
  std::set<uint32_t> unknown_reported_;  // tables already warned about unknown types
  std::vector<Finding> deferred_;        // definition findings, reported after the tables
  SlotSet live_rows_;                    // headers of the current table's live rows (indexed)
  std::vector<uint32_t> live_pages_;     // the pages live_rows_ has bits on
  uint64_t live_count_ = 0;
  CrackedRow cracked_;  // the row being checked, its storage reused from row to row
  CheckReport report_;
};

}  // namespace

CheckReport CheckDatabase(Database& db, CheckObserver* observer) {
  return Checker(db, observer).Run();
}

}  // namespace orvelle::jet
