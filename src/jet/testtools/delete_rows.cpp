#include "jet/testtools/delete_rows.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "jet/checker.h"
#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/edited_copy.h"

namespace orvelle::jet::test {

uint64_t DeleteReport::Deleted() const {
  uint64_t n = 0;
  for (const TableDeletion& t : tables) n += t.deleted.size();
  return n;
}

namespace {

constexpr uint16_t kDeletedRow = 0xC000;  // both flag bits, as the engine marks a deleted slot
constexpr RowPointer kGlobalMap = {1, 0};
constexpr int kMaxOverflowHops = 16;

// splitmix64: the same sequence on every platform and standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

bool Chosen(const CatalogEntry& e, bool all_tables) {
  if (e.type != 1) return false;  // linked tables keep no rows here
  if (!all_tables) return !e.System();
  return e.id != 2 && e.name != "MSysObjects" && e.name != "MSysComplexColumns";
}

uint32_t EntryRow(const std::string& e) {
  const auto* b = reinterpret_cast<const uint8_t*>(e.data()) + e.size() - 4;
  return (static_cast<uint32_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

uint32_t ChildPage(const std::string& e) { return EntryRow(e); }

std::string PageBe(uint32_t pn) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(pn >> (24 - 8 * i));
  return s;
}

// One index tree in memory while its entries of deleted rows are taken out.
class IndexEditor {
 public:
  IndexEditor(Database& db, PageEdits& edits, const TableDef& t, size_t i,
              const std::vector<uint32_t>& gone)
      : db_(db),
        edits_(edits),
        t_(t),
        i_(i),
        gone_(gone),
        what_("index " + std::to_string(i) + " of table definition " + std::to_string(t.page)) {}

  void Run() {
    const uint32_t root = t_.physical[i_].root;
    Load(root);
    for (auto& [pn, node] : nodes_) {
      if (!node.page.leaf) continue;
      auto& e = node.page.entries;
      e.erase(std::remove_if(e.begin(), e.end(),
                             [&](const std::string& x) {
                               return std::binary_search(gone_.begin(), gone_.end(), EntryRow(x));
                             }),
              e.end());
    }
    Prune(root, true);
    Node& r = nodes_.at(root);
    if (!r.page.leaf && r.children.empty()) {
      // Every entry went: the root is the index's one empty leaf.
      r.page.leaf = true;
      r.page.entries.clear();
      r.page.prev = r.page.next = r.page.tail = 0;
    } else if (!r.page.leaf && r.children.size() == 1) {
      // The root takes the place of its only child: the tree loses a level, every leaf alike.
      const uint32_t child = r.children.front();
      Node c = nodes_.at(child);
      Free(child);
      r.page.leaf = c.page.leaf;
      r.page.entries = c.page.entries;
      r.page.tail = c.page.tail;
      r.children = c.children;
      r.page.prev = r.page.next = 0;
    }
    Fix(root);
    Write();
  }

 private:
  struct Node {
    IndexPage page;                  // as edited
    IndexPage before;                // as read
    std::vector<uint32_t> children;  // nodes: the entries' children, then the tail
    bool freed = false;
  };

  void Load(uint32_t pn) {
    IndexPage ip = ReadIndexPage(db_, pn);
    Node n;
    n.page = ip;
    n.before = ip;
    if (!ip.leaf) {
      for (const std::string& e : ip.entries) n.children.push_back(ChildPage(e));
      n.children.push_back(ip.tail);
    }
    std::vector<uint32_t> children = n.children;
    nodes_.emplace(pn, std::move(n));
    for (uint32_t c : children) Load(c);
  }

  // Takes empty pages out of the subtree at pn; true when pn itself is left empty.
  bool Prune(uint32_t pn, bool root) {
    Node& n = nodes_.at(pn);
    if (n.page.leaf) return n.page.entries.empty();
    std::vector<uint32_t> kept;
    for (uint32_t c : n.children) {
      if (Prune(c, false)) {
        Free(c);
      } else {
        kept.push_back(c);
      }
    }
    n.children = kept;
    if (!root && kept.size() == 1) {
      db_.Fail(pn, "index page: " + what_ +
                       ": the node page would keep a single child; removing it would leave "
                       "leaves at different depths, which this tool does not do");
    }
    return kept.empty();
  }

  // Unlinks pn from the pages of its level and takes it out of the index.
  void Free(uint32_t pn) {
    Node& n = nodes_.at(pn);
    auto live = [&](uint32_t p) {
      auto it = nodes_.find(p);
      return p != 0 && it != nodes_.end() && !it->second.freed ? &it->second : nullptr;
    };
    if (Node* prev = live(n.page.prev)) prev->page.next = n.page.next;
    if (Node* next = live(n.page.next)) next->page.prev = n.page.prev;
    n.freed = true;
    freed_.push_back(pn);
  }

  // Node entries are their children's last entries; returns pn's last entry.
  std::string Fix(uint32_t pn) {
    Node& n = nodes_.at(pn);
    if (n.page.leaf) return n.page.entries.empty() ? std::string() : n.page.entries.back();
    n.page.entries.clear();
    for (size_t k = 0; k + 1 < n.children.size(); ++k) {
      n.page.entries.push_back(Fix(n.children[k]) + PageBe(n.children[k]));
    }
    n.page.tail = n.children.back();
    return Fix(n.page.tail);
  }

  void Write() {
    const Layout& l = db_.GetLayout();
    for (auto& [pn, n] : nodes_) {
      if (n.freed) continue;
      const IndexPage& a = n.page;
      const IndexPage& b = n.before;
      if (a.leaf == b.leaf && a.entries == b.entries && a.prev == b.prev && a.next == b.next &&
          a.tail == b.tail) {
        continue;
      }
      std::vector<uint8_t>& img = edits_.Edit(pn);
      if (!EncodeIndexPage(l, a, img.data())) {
        db_.Fail(pn, "index page: " + what_ + ": the edited entries no longer fit the page");
      }
    }
    for (uint32_t pn : freed_) {
      if (!edits_.SetMapBit(t_.physical[i_].map, pn, false)) {
        db_.Fail(pn, "index page: " + what_ + ": its usage map has no bit for the page");
      }
      // A page the global map does not describe counts as free already.
      edits_.SetMapBit(kGlobalMap, pn, true);
    }
  }

  Database& db_;
  PageEdits& edits_;
  const TableDef& t_;
  size_t i_;
  const std::vector<uint32_t>& gone_;  // packed header slots of the deleted rows, sorted
  std::string what_;
  std::map<uint32_t, Node> nodes_;
  std::vector<uint32_t> freed_;
};

class Deleter {
 public:
  Deleter(Database& db, const DeleteOptions& o) : db_(db), o_(o), edits_(db) {}

  DeleteReport Run(std::ostream& out) {
    if (!(o_.share >= 0 && o_.share <= 1)) {
      db_.Fail(-1, "the share of rows to delete must be between 0 and 1");
    }
    CheckReport check = CheckDatabase(db_);
    for (const Finding& f : check.findings) {
      if (f.severity == Severity::kError) {
        db_.Fail(f.page, "the database fails the structural check: " + f.text);
      }
    }
    for (const CatalogEntry& e : db_.Catalog()) {
      if (Chosen(e, o_.all_tables)) DeleteFrom(e);
    }
    std::sort(gone_.begin(), gone_.end());
    gone_.erase(std::unique(gone_.begin(), gone_.end()), gone_.end());
    WritePages(
        db_, edits_, db_.PageCount(), [&](uint32_t pn, uint8_t* page) { RemoveRows(pn, page); },
        out);
    return std::move(report_);
  }

 private:
  void DeleteFrom(const CatalogEntry& e) {
    TableDef t = ReadTableDef(db_, e.id);
    std::vector<RowPointer> rows;
    ForEachLiveRow(db_, t, [&](const LiveRow& r) { rows.push_back(r.header); });
    const uint64_t n = rows.size();
    const uint64_t k = static_cast<uint64_t>(std::llround(o_.share * static_cast<double>(n)));
    // The first k of a seeded shuffle; each table draws from its own sequence.
    Random random(o_.seed ^ (0xD1B54A32D192ED03ull * (uint64_t{t.page} + 1)));
    for (uint64_t i = 0; i < k; ++i) std::swap(rows[i], rows[i + random.Below(n - i)]);
    rows.resize(k);
    std::sort(rows.begin(), rows.end());
    std::vector<uint32_t> headers;
    for (RowPointer rp : rows) {
      headers.push_back(rp.Packed());
      DeleteRow(t, rp);
    }
    if (k > 0) {
      edits_.SetRowCount(t, static_cast<uint32_t>(n - k));
      for (size_t i = 0; i < t.physical.size(); ++i) {
        IndexEditor(db_, edits_, t, i, headers).Run();
      }
    }
    report_.tables.push_back({e.name, n, std::move(rows)});
  }

  // The row's slot, the overflow rows it leads to and the LVAL rows of its long values.
  void DeleteRow(const TableDef& t, RowPointer header) {
    DataPage d = ParseDataPage(db_, header.page, "data page");
    DataPage cur = d;
    size_t slot = header.row;
    gone_.push_back(header.Packed());
    for (int hop = 0; cur.slots[slot].flags & kRowOverflowHeader; ++hop) {
      if (hop > kMaxOverflowHops) db_.Fail(header.page, "data page: overflow chain too long");
      RowPointer to = RowPointer::FromLe(Le32(cur.Row(slot)));
      cur = ParseDataPage(db_, to.page, "overflow row");
      if (to.row >= cur.slots.size()) db_.Fail(to.page, "overflow row: row does not exist");
      gone_.push_back(to.Packed());
      slot = to.row;
    }
    LiveRow r = FollowRow(db_, t, d, header.row);
    CrackedRow cr = CrackRow(db_, t, r);
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const ColumnData& cd = cr.columns[k];
      if (!t.columns[k].IsLongValue() || !cd.present) continue;
      std::vector<RowPointer> lval;
      ReadLongValue(
          db_, cd.data, cd.size, r.data.page, t.columns[k].name, [](const uint8_t*, size_t) {},
          nullptr, &lval);
      for (RowPointer rp : lval) gone_.push_back(rp.Packed());
    }
  }

  // Lays out again a page that loses rows: their slots stay, flagged and empty.
  void RemoveRows(uint32_t pn, uint8_t* page) {
    auto first = std::lower_bound(gone_.begin(), gone_.end(), pn << 8);
    if (first == gone_.end() || (*first >> 8) != pn) return;
    if (edits_.Find(pn)) db_.Fail(pn, "data page: both edited and losing rows");
    DataPage d = ParseDataPage(db_, pn, "data page");
    std::vector<RowImage> rows;
    auto it = first;
    for (size_t s = 0; s < d.slots.size(); ++s) {
      if (it != gone_.end() && *it == ((pn << 8) | s)) {
        rows.push_back({nullptr, 0, kDeletedRow});
        ++it;
      } else {
        rows.push_back({d.Row(s), d.slots[s].Length(), d.slots[s].flags});
      }
    }
    if (it != gone_.end() && (*it >> 8) == pn) {
      db_.Fail(pn, "data page: row " + std::to_string(*it & 0xFF) + " to delete does not exist");
    }
    if (!LayOutRows(db_.GetLayout(), page, rows)) db_.Fail(pn, "data page: rows do not fit");
  }

  Database& db_;
  const DeleteOptions& o_;
  PageEdits edits_;
  std::vector<uint32_t> gone_;  // packed row pointers of every row that goes
  DeleteReport report_;
};

}  // namespace

DeleteReport DeleteRows(Database& db, const DeleteOptions& options, std::ostream& out) {
  return Deleter(db, options).Run(out);
}

DeleteReport DeleteRowsToFile(const std::string& in, const std::string& out,
                              const DeleteOptions& options) {
  auto db = Database::OpenFile(in);
  DeleteReport report;
  PublishNewFile(out, true, [&](std::ostream& o) { report = DeleteRows(*db, options, o); });
  return report;
}

}  // namespace orvelle::jet::test
