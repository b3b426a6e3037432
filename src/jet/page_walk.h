// One walk over every structure the catalogue reaches, in one order, reported to a visitor:
// the structural checker and the page slide's inventory are both visitors of it.
//
// Order: pages 0 and 1, then per catalogue entry its definition chain, its owned-pages and
// free-space maps, its long-value maps and the pages they list, its data pages and their live
// rows (overflow hops, long values), its index trees; after the tables, the global map.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "jet/database.h"
#include "jet/index.h"
#include "jet/page_role.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/usage_map.h"

namespace orvelle::jet {

// Variable columns of these types are known to hold no page pointers (or long values).
bool KnownType(uint8_t type);

// How a claim came about: a usage map lists the page, a structure was followed to it, or a live
// row reaches it (walks with row pages only).
enum class Reach : uint8_t { kListed, kReached, kRow };

// What a usage map is for.
enum class MapUse : uint8_t {
  kOwnedPages,
  kFreeSpace,
  kLongValueOwned,
  kLongValueFree,
  kIndex,
};

struct Owner {
  PageRole role = PageRole::kNone;
  uint32_t table = 0;  // TDEF page; 0 for pages 0 and 1 and the global map's bitmaps
};

// When a page already claimed may be claimed again.
enum class Sharing : uint8_t {
  kStrict,    // usage-map hosts, and a table's own definition pages; nothing else
  kSameRole,  // any page, in the role it already has
};

// The owner of every page, as claims arrive.
class PageOwners {
 public:
  enum class Outcome : uint8_t { kFirst, kAgain, kBeyondEnd, kConflict };

  explicit PageOwners(uint32_t pages = 0) : owners_(pages) {}
  Outcome Claim(uint32_t pn, PageRole role, uint32_t table, Sharing sharing);
  const Owner& operator[](uint32_t pn) const { return owners_[pn]; }
  size_t size() const { return owners_.size(); }
  const std::vector<Owner>& All() const { return owners_; }

 private:
  std::vector<Owner> owners_;
};

// The hooks of a walk. Each is called inside the structure it belongs to: a JetError thrown by
// the walk or by a hook ends that structure and goes to OnError, which either records it (the
// walk goes on with the next structure) or rethrows (the walk ends).
class PageVisitor {
 public:
  virtual ~PageVisitor() = default;

  virtual void OnError(const JetError& e) = 0;
  virtual void Claim(uint32_t pn, PageRole role, uint32_t table, Reach reach,
                     const std::string& what) = 0;

  // A catalogue entry naming the definition page of an earlier one; true walks it again.
  virtual bool OnDuplicateTable(const CatalogEntry& e, const std::string& first) = 0;
  virtual void OnTable(const CatalogEntry&, const TableDef&) {}
  // t is null when the definition could not be read.
  virtual void OnTableEnd(const CatalogEntry&, const TableDef*) {}
  virtual void OnTablesDone() {}

  // After the claims of the map's host and bitmap pages. Called for absent maps too.
  virtual void OnMap(const UsageMap&, MapUse, uint32_t /*table*/, const std::string& /*what*/) {}
  // A table's free-space map against its owned pages (both ascending, once each).
  virtual void OnFreeSpaceMap(const TableDef&, const std::string& /*tname*/,
                              const std::vector<uint32_t>& /*free*/,
                              const std::vector<uint32_t>& /*owned*/) {}
  // A page a long-value map lists, after its claim.
  virtual void OnListedLongValuePage(uint32_t) {}

  virtual void OnDataPage(const TableDef&, const DataPage&) {}
  // Walks with row pages only: the overflow pointer of row `slot` on `page`, at `offset`.
  virtual void OnOverflowPointer(uint32_t /*page*/, uint32_t /*offset*/) {}
  virtual void OnRow(const TableDef&, const LiveRow&) {}
  // A variable column of a type KnownType does not know holds data in the row.
  virtual void OnUnknownTypeData(const TableDef&, const std::string& /*tname*/, const Column&,
                                 const LiveRow&) {}
  // A long value: its pages; allowed is what the column's owned-pages map lists (ascending),
  // null without maps for the column.
  virtual void OnLongValue(const TableDef&, const Column&, const LiveRow&,
                           const std::vector<uint32_t>& /*pages*/,
                           const std::vector<uint32_t>* /*allowed*/) {}
  // Walks with row pages only: the row's pointer to a long value's first page, and each link
  // of a chained value, as (page, offset of the pointer).
  virtual void OnLongValuePointer(uint32_t /*page*/, uint32_t /*offset*/) {}
  virtual void OnLongValueLink(uint32_t /*page*/, uint32_t /*offset*/) {}
  // Following a row's overflow hops or a long value's links failed (walks with row pages only;
  // called inside the handler). Rethrows unless the visitor goes on with the row without them.
  virtual void OnRowPagesFailed() { throw; }

  // A page of index i's tree (after its claim), with the index's usage map.
  virtual void OnIndexPage(const TableDef&, size_t /*i*/, uint32_t /*pn*/, const UsageMap&,
                           const std::string& /*what*/) {}
  virtual void OnIndexTree(const TableDef&, size_t /*i*/, const UsageMap&, const IndexTree&,
                           const std::string& /*what*/) {}

  // After the tables and the claims of the global map's bitmap pages.
  virtual void OnGlobalMap(const UsageMap&) {}
};

struct WalkOptions {
  // Claim the pages live rows reach (their pages, overflow hops, long values) and report the
  // pointers that lead there. The checker works from what the maps list instead.
  bool row_pages = false;
};

void WalkPages(Database& db, PageVisitor& v, const WalkOptions& options);

// Two visitors on one walk. The first takes every hook first and decides what an error does and
// whether a repeated table is walked again; row pages are the second's alone. The second is
// strict: its first error, from the walk or from one of its hooks, ends its part of the walk and
// is kept, while the walk goes on for the first. The second sees what a walk of its own would
// show it as long as no hook of the first throws (that ends the structure for both).
class PairedVisitor : public PageVisitor {
 public:
  PairedVisitor(PageVisitor& first, PageVisitor& second) : a_(first), b_(second) {}
  // The second's first error; null while it has none.
  std::exception_ptr SecondError() const { return error_; }

  void OnError(const JetError& e) override;
  void Claim(uint32_t pn, PageRole role, uint32_t table, Reach reach,
             const std::string& what) override;
  bool OnDuplicateTable(const CatalogEntry& e, const std::string& first) override;
  void OnTable(const CatalogEntry& e, const TableDef& t) override;
  void OnTableEnd(const CatalogEntry& e, const TableDef* t) override;
  void OnTablesDone() override;
  void OnMap(const UsageMap& m, MapUse use, uint32_t table, const std::string& what) override;
  void OnFreeSpaceMap(const TableDef& t, const std::string& tname,
                      const std::vector<uint32_t>& free,
                      const std::vector<uint32_t>& owned) override;
  void OnListedLongValuePage(uint32_t pn) override;
  void OnDataPage(const TableDef& t, const DataPage& d) override;
  void OnOverflowPointer(uint32_t page, uint32_t offset) override;
  void OnRow(const TableDef& t, const LiveRow& r) override;
  void OnUnknownTypeData(const TableDef& t, const std::string& tname, const Column& c,
                         const LiveRow& r) override;
  void OnLongValue(const TableDef& t, const Column& c, const LiveRow& r,
                   const std::vector<uint32_t>& pages,
                   const std::vector<uint32_t>* allowed) override;
  void OnLongValuePointer(uint32_t page, uint32_t offset) override;
  void OnLongValueLink(uint32_t page, uint32_t offset) override;
  void OnRowPagesFailed() override;
  void OnIndexPage(const TableDef& t, size_t i, uint32_t pn, const UsageMap& m,
                   const std::string& what) override;
  void OnIndexTree(const TableDef& t, size_t i, const UsageMap& m, const IndexTree& tree,
                   const std::string& what) override;
  void OnGlobalMap(const UsageMap& global) override;

 private:
  template <typename F>
  void Second(F&& f) {
    if (error_) return;
    try {
      f();
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  PageVisitor& a_;
  PageVisitor& b_;
  std::exception_ptr error_;
};

}  // namespace orvelle::jet
