// The structural checker: ownership of every page, map agreement, chains, slots, long
// values and index trees. Also the page counts a compaction would work from.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "jet/compact_plan.h"
#include "jet/database.h"
#include "jet/index.h"
#include "jet/rows.h"
#include "jet/table_def.h"

namespace orvelle::jet {

enum class Severity {
  kError,    // an inconsistency: the file must not be compacted
  kLeak,     // pages marked used that nothing reaches (reclaimable, not fatal)
  kWarning,  // tolerated oddity
};

struct Finding {
  Severity severity = Severity::kError;
  int64_t page = -1;
  std::string text;
  std::string Describe() const;  // "page 37: ..." or the text alone
};

struct TableSummary {
  std::string name;
  uint32_t tdef = 0;
  int16_t type = 1;
  bool system = false;
  uint64_t live_rows = 0;
  uint32_t pages = 0;  // data, long-value, index and definition pages it owns
};

struct CheckReport {
  Version version = Version::kJet4;
  uint32_t page_size = 0;
  uint32_t page_count = 0;
  std::vector<TableSummary> tables;
  uint32_t pages_live = 0;         // reachable from the catalogue (pages 0 and 1 included)
  uint32_t pages_free = 0;         // unreachable and marked free
  uint32_t pages_leaked = 0;       // unreachable but marked used
  uint32_t pages_reclaimable = 0;  // pages a page-level compaction would drop
  std::vector<Finding> findings;
  bool Consistent() const;  // no finding of severity kError
};

// Sees the live rows and the index trees of the tables as the check reads them, so that a
// caller that needs them too takes them from the check instead of reading the file again.
// For each table the check can read the definition of: Begin, then (if Begin wants the table)
// Row for every live row, Index for each physical index in turn, and End. What a damaged
// table delivers is the caller's to discard: the report says whether the file is sound.
class CheckObserver {
 public:
  virtual ~CheckObserver() = default;
  virtual bool Begin(const CatalogEntry& e, const TableDef& t) = 0;
  virtual void Row(const LiveRow& r) = 0;
  virtual void Index(size_t i, const IndexTree& tree) = 0;
  virtual void End() = 0;
};

// Checks the whole file. Damage inside one structure becomes one finding and the check goes
// on with the next structure; only an unreadable header or catalogue throws JetError.
CheckReport CheckDatabase(Database& db);

// The same, with observer shown the rows and index trees as they are read.
CheckReport CheckDatabase(Database& db, CheckObserver& observer);

// The page slide's inventory from the walk that checks the file.
struct InventoryResult {
  // False when the report has errors: structures the check broke off were not collected.
  bool available = false;
  std::exception_ptr error;  // when available: what CollectInventory throws, or null
  PageInventory inventory;   // when available without error: what CollectInventory returns
};

// CheckDatabase(db) and, in the same walk, CollectInventory(db).
CheckReport CheckDatabase(Database& db, InventoryResult* inventory);

}  // namespace orvelle::jet
