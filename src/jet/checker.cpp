#include "jet/checker.h"

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "jet/index.h"
#include "jet/page_walk.h"
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

class Checker : public PageVisitor {
 public:
  explicit Checker(Database& db, CheckObserver* observer = nullptr)
      : db_(db),
        observer_(observer),
        l_(db.GetLayout()),
        owners_(db.PageCount()),
        keep_(db.PageCount()),
        live_rows_(db.PageCount()) {
    report_.version = db_.GetHeader().version;
    report_.page_size = db_.PageSize();
    report_.page_count = db_.PageCount();
    if (db_.TrailingBytes()) {
      Add(Severity::kWarning, -1,
          "file length is not a whole number of " + std::to_string(db_.PageSize()) +
              "-byte pages: " + std::to_string(db_.TrailingBytes()) +
              (db_.TrailingBytes() == 1 ? " trailing byte ignored" : " trailing bytes ignored"));
    }
  }

  // After the walk.
  CheckReport Finish() {
    CountTablePages();
    uint32_t keep = 0;
    for (uint32_t p = 0; p < db_.PageCount(); ++p) keep += keep_[p] ? 1 : 0;
    report_.pages_reclaimable = db_.PageCount() - keep;
    return std::move(report_);
  }

  // --- the walk -----------------------------------------------------------------------------

  void OnError(const JetError& e) override { Add(Severity::kError, e.Page(), e.Text()); }

  // What rows reach is checked against the maps that list it, not claimed again.
  void Claim(uint32_t pn, PageRole role, uint32_t table, Reach reach,
             const std::string& what) override {
    if (reach == Reach::kRow) return;
    if (pn < keep_.size()) {
      keep_[pn] = keep_[pn] || (role != PageRole::kData && role != PageRole::kLongValue);
    }
    const Owner held = pn < owners_.size() ? owners_[pn] : Owner{};
    switch (owners_.Claim(pn, role, table, Sharing::kStrict)) {
      case PageOwners::Outcome::kFirst:
      case PageOwners::Outcome::kAgain:
        return;
      case PageOwners::Outcome::kBeyondEnd:
        Add(Severity::kError, pn, what + ": page beyond end of file");
        return;
      case PageOwners::Outcome::kConflict:
        Add(Severity::kError, pn,
            std::string("claimed twice: as ") + PageRoleName(held.role) + " of table definition " +
                std::to_string(held.table) + " and as " + PageRoleName(role) + " (" + what + ")");
        return;
    }
  }

  bool OnDuplicateTable(const CatalogEntry& e, const std::string& first) override {
    Add(Severity::kError, e.id,
        "catalogue: table \"" + e.name + "\" has the same definition page as \"" + first + "\"");
    return false;
  }

  void OnTable(const CatalogEntry& e, const TableDef& t) override {
    // The live rows of the table, a bit per slot: index entries must each reach one.
    live_count_ = 0;
    live_pages_.clear();
    overflow_targets_.clear();
    errors_before_table_ = errors_;
    observing_ = observer_ && observer_->Begin(e, t);
  }

  void OnTableEnd(const CatalogEntry& e, const TableDef* t) override {
    if (observing_) {
      observing_ = false;
      observer_->End();
    }
    TableSummary sum;
    sum.name = e.name;
    sum.tdef = e.id;
    sum.type = e.type;
    sum.system = e.System();
    if (t) {
      CheckOverflowTargets(e);
      sum.live_rows = live_count_;
      for (uint32_t p : live_pages_) live_rows_.ClearPage(p);
      CheckDefinition(*t, "table \"" + e.name + "\"");
    }
    report_.tables.push_back(sum);
  }

  // Definition fields no reader needs come after what the tables' contents showed.
  void OnTablesDone() override {
    for (Finding& f : deferred_) report_.findings.push_back(std::move(f));
  }

  void OnMap(const UsageMap& m, MapUse use, uint32_t, const std::string& what) override {
    if (m.beyond_eof) {
      Add(Severity::kError, m.where.page,
          what + " at " + jet::Describe(m.where) + ": lists page " +
              std::to_string(m.first_beyond_eof) + " beyond end of file (" +
              std::to_string(m.beyond_eof) + " pages)");
    }
    if (use == MapUse::kIndex) in_tree_.assign(m.pages.size(), false);
  }

  void OnFreeSpaceMap(const TableDef&, const std::string& tname, const std::vector<uint32_t>& free,
                      const std::vector<uint32_t>& owned) override {
    for (uint32_t p : free) {
      if (!std::binary_search(owned.begin(), owned.end(), p)) {
        Add(Severity::kError, p,
            tname + " free-space map lists the page, its owned-pages map does not");
      }
    }
  }

  void OnListedLongValuePage(uint32_t p) override {
    DataPage d = ParseDataPage(db_, p, "long-value page");
    if (d.owner != kLvalOwner) {
      db_.Fail(p, "long-value page: owner " + Hex(d.owner) + ", expected \"LVAL\"");
    }
    CheckFreeSpace(d);
  }

  void OnDataPage(const TableDef& t, const DataPage& d) override {
    if (d.owner != t.page) {
      db_.Fail(d.number, "data page: owner " + std::to_string(d.owner) +
                             ", expected table definition page " + std::to_string(t.page));
    }
    CheckFreeSpace(d);
    for (size_t s = 0; s < d.slots.size(); ++s) {
      if (d.slots[s].OverflowTarget()) {
        overflow_targets_.emplace(RowPointer{d.number, static_cast<uint8_t>(s)}.Packed(),
                                  RowPointer{});
      }
    }
  }

  void OnRow(const TableDef& t, const LiveRow& r) override {
    if (!t.physical.empty()) {
      if (live_pages_.empty() || live_pages_.back() != r.header.page) {
        live_pages_.push_back(r.header.page);
      }
      live_rows_.Insert(r.header);
    }
    ++live_count_;
    if (r.data.Packed() != r.header.Packed()) {
      // Each overflow row belongs to one row: a second row that reaches it (a damaged pointer,
      // or one that leads through another row's header) would be its copy, while the row it
      // replaced stays unread.
      RowPointer& from = overflow_targets_[r.data.Packed()];
      if (!from.IsNull()) {
        db_.Fail(r.header.page, "data page: row " + std::to_string(r.header.row) +
                                    " leads to overflow row " + jet::Describe(r.data) + ", which " +
                                    jet::Describe(from) + " leads to too");
      }
      from = r.header;
    }
    keep_[r.header.page] = true;
    keep_[r.data.page] = true;
    if (observing_) observer_->Row(r);
  }

  // After the table's rows: an overflow row no row leads to is a row to a reader that scans
  // overflow rows directly and to none that follows headers; a full compaction would drop it.
  // Rows an error broke off are not counted: their overflow rows are not reported again.
  void CheckOverflowTargets(const CatalogEntry& e) {
    if (errors_ != errors_before_table_) return;
    std::vector<uint32_t> unread;
    for (const auto& [target, from] : overflow_targets_) {
      if (from.IsNull()) unread.push_back(target);
    }
    if (unread.empty()) return;
    std::sort(unread.begin(), unread.end());
    const RowPointer first = RowPointer::FromLe(unread.front());
    Add(Severity::kError, first.page,
        "table \"" + e.name + "\": overflow row " + jet::Describe(first) +
            (unread.size() > 1 ? " and " + std::to_string(unread.size() - 1) + " more" : "") +
            " reached from no row");
  }

  void OnUnknownTypeData(const TableDef& t, const std::string&, const Column& c,
                         const LiveRow& r) override {
    if (!unknown_reported_.insert(t.page).second) return;
    Add(Severity::kWarning, r.header.page,
        "column \"" + c.name + "\" of table definition " + std::to_string(t.page) +
            " has the unknown type " + Hex(c.type) + " and holds data (" + jet::Describe(r.header) +
            "); a compactor must not assume it pointer-free");
  }

  void OnLongValue(const TableDef&, const Column& c, const LiveRow& r,
                   const std::vector<uint32_t>& pages,
                   const std::vector<uint32_t>* allowed) override {
    for (uint32_t p : pages) {
      keep_[p] = true;
      if (!allowed || !std::binary_search(allowed->begin(), allowed->end(), p)) {
        db_.Fail(p, "long-value page: used by column \"" + c.name + "\" (" +
                        jet::Describe(r.header) + ") but not in its owned-pages map");
      }
    }
  }

  void OnIndexPage(const TableDef&, size_t, uint32_t p, const UsageMap& m,
                   const std::string& what) override {
    const std::vector<uint32_t>& mapped = m.pages;
    auto at = std::lower_bound(mapped.begin(), mapped.end(), p);
    const size_t k = static_cast<size_t>(at - mapped.begin());
    if (at == mapped.end() || *at != p || in_tree_[k]) {
      db_.Fail(p, "index page: in the tree of " + what + " but not in its usage map");
    }
    in_tree_[k] = true;
  }

  void OnIndexTree(const TableDef& t, size_t i, const UsageMap& m, const IndexTree& tree,
                   const std::string& what) override {
    if (observing_) observer_->Index(i, tree);
    const PhysicalIndex& pi = t.physical[i];
    auto missing = std::find(in_tree_.begin(), in_tree_.end(), false);
    if (missing != in_tree_.end()) {
      db_.Fail(m.pages[static_cast<size_t>(missing - in_tree_.begin())],
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

  void OnGlobalMap(const UsageMap& global) override { CompareGlobal(global); }

 private:
  void Add(Severity s, int64_t page, std::string text) {
    if (s == Severity::kError) ++errors_;
    report_.findings.push_back({s, page, std::move(text)});
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
    for (const Owner& o : owners_.All()) {
      if (o.role != PageRole::kNone && o.role != PageRole::kMapHost &&
          o.role != PageRole::kHeader) {
        ++count[o.table];
      }
    }
    for (TableSummary& t : report_.tables) t.pages = count[t.tdef];
  }

  void CheckFreeSpace(const DataPage& d) {
    const Layout& l = l_;
    uint32_t used = l.data_header + 2u * static_cast<uint32_t>(d.slots.size());
    for (const Slot& s : d.slots) used += s.Length();
    if (d.free_space != l.page_size - used) {
      db_.Fail(d.number, "data page: free space " + std::to_string(d.free_space) + ", rows leave " +
                             std::to_string(l.page_size - used));
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
  const Layout& l_;
  PageOwners owners_;
  std::vector<bool> keep_;               // pages a page-level compaction keeps
  std::set<uint32_t> unknown_reported_;  // tables already warned about unknown types
  std::vector<Finding> deferred_;        // definition findings, reported after the tables
  SlotSet live_rows_;                    // headers of the current table's live rows (indexed)
  std::vector<uint32_t> live_pages_;     // the pages live_rows_ has bits on
  uint64_t live_count_ = 0;
  // The current table's overflow rows, each with the row that leads to it (null: none yet).
  std::unordered_map<uint32_t, RowPointer> overflow_targets_;
  size_t errors_ = 0, errors_before_table_ = 0;
  std::vector<bool> in_tree_;  // per page of the current index's map: in its tree
  CheckReport report_;
};

}  // namespace

CheckReport CheckDatabase(Database& db) {
  Checker c(db);
  WalkPages(db, c, WalkOptions{});
  return c.Finish();
}

CheckReport CheckDatabase(Database& db, CheckObserver& observer) {
  Checker c(db, &observer);
  WalkPages(db, c, WalkOptions{});
  return c.Finish();
}

CheckReport CheckDatabase(Database& db, InventoryResult* inventory) {
  Checker c(db);
  std::unique_ptr<InventoryVisitor> collector = NewInventoryVisitor(db);
  PairedVisitor both(c, *collector);
  WalkPages(db, both, InventoryVisitor::Options());
  CheckReport report = c.Finish();
  *inventory = InventoryResult{};
  if (!report.Consistent()) return report;
  inventory->available = true;
  inventory->error = both.SecondError();
  if (!inventory->error) {
    try {
      inventory->inventory = collector->Finish();
    } catch (...) {
      inventory->error = std::current_exception();
    }
  }
  return report;
}

}  // namespace orvelle::jet
