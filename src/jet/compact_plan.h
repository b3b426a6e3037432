// Page relocation: which pages of a database are live, every pointer that names them, and a
// writer that copies the live pages to new numbers, patching those pointers and rebuilding
// every usage map. Compaction slides pages down; the test tool spreads them out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "jet/database.h"
#include "jet/page_role.h"
#include "jet/page_walk.h"

namespace orvelle::jet {

// How a patched field stores its page number.
enum class PointerForm : uint8_t {
  kPageLe,  // u32 LE page number
  kRowLe,   // row pointer, (page << 8) | row as u32 LE
  kRowBe,   // row pointer, u24 BE page then the row byte (index entries)
  kPageBe,  // u32 BE page number (node entries' child)
};

struct PointerField {
  uint32_t offset = 0;
  PointerForm form = PointerForm::kPageLe;
};

// A usage-map row some definition refers to, with the live pages it lists.
struct MapRowInfo {
  RowPointer where;
  bool global = false;
  bool reference = false;
  std::vector<uint32_t> pages;  // old numbers of live pages the map lists, ascending
  std::vector<uint32_t> slots;  // reference maps: type-0x05 page per slot, 0 = none
};

// Everything relocation needs to know about one database. Built from a file that the
// structural checker accepted, by a walk of its own or by the checker's (see checker.h);
// collecting throws JetError on any inconsistency instead of guessing.
struct PageInventory {
  uint32_t page_count = 0;
  std::vector<PageRole> roles;                                     // per old page
  std::unordered_map<uint32_t, std::vector<PointerField>> fields;  // per old page
  // Table definitions: chain pages and the fields inside the concatenated definition.
  struct TableDefFields {
    std::vector<uint32_t> chain;
    std::vector<PointerField> fields;
  };
  std::vector<TableDefFields> table_defs;
  std::map<uint32_t, MapRowInfo> maps;  // by packed row pointer, the global map included
  std::unordered_map<uint32_t, uint32_t> bitmap_owner;  // type-0x05 page -> packed map row
  std::vector<RowPointer> orphan_maps;  // live map rows that no definition refers to

  bool Live(uint32_t pn) const { return roles[pn] != PageRole::kNone; }
  bool Fixed(uint32_t pn) const {
    return pn < 2 || roles[pn] == PageRole::kTableDef;  // header, global map, definitions
  }
  uint32_t LiveCount() const;
};

PageInventory CollectInventory(Database& db);

// The visitor CollectInventory walks with, for a walk shared with other visitors (the
// structural checker's; see checker.h).
class InventoryVisitor : public PageVisitor {
 public:
  static WalkOptions Options();  // what the walk must report to it
  // After the walk: the inventory, or JetError as CollectInventory throws it.
  virtual PageInventory Finish() = 0;
};
std::unique_ptr<InventoryVisitor> NewInventoryVisitor(Database& db);

// Where every live page goes. Fixed pages keep their numbers; the others keep their order.
struct Relocation {
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  uint32_t page_count = 0;           // pages of the output
  std::vector<uint32_t> new_number;  // per old page; kNone for dropped pages
  // Per output position without a live page: an old page whose bytes to leave there as stale
  // content (kNone writes zeros). Empty: zeros everywhere.
  std::vector<uint32_t> stale;
};

// Slides every non-fixed live page to the lowest free position, in order. With `gap`, that
// many free positions are left before each such page (test files of a grown database).
Relocation PackDown(const PageInventory& inv, uint32_t gap = 0);

// Writes the relocated database and returns its page count: r.page_count, plus a bitmap page
// for each range of a map whose pages no longer fit its inline row (it becomes a reference
// map). Throws JetError on any pointer to a page that is not kept.
uint32_t WriteRelocated(Database& db, const PageInventory& inv, const Relocation& r,
                        std::ostream& out);

}  // namespace orvelle::jet
