// The full compactor: every table's rows, long values and indexes are written anew, densely,
// and the usage maps of all tables share host pages. Table definitions move down to the first
// free pages, renumbering their tables, unless their id might be held somewhere the writer
// does not rewrite (see FullCompactStats). Whatever the writer cannot account for makes it
// give up (FullCompactionRefused), and the caller falls back to the page slide of compact_plan.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "jet/database.h"
#include "jet/table_ids.h"

namespace orvelle::jet {

// A part of the database the full compactor does not rewrite safely; nothing is wrong with the
// database, it only has to be compacted the simpler way.
class FullCompactionRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FullCompactStats {
  uint32_t tables = 0;
  uint64_t rows = 0;
  uint32_t data_pages = 0;
  uint32_t long_value_pages = 0;
  uint32_t index_pages = 0;
  uint32_t map_pages = 0;  // usage-map hosts and bitmap pages, page 1 excluded
  uint32_t gap_pages = 0;  // free positions left below table definitions
  // Definitions moved down: old id -> new id. A table stays where it is (pinned) when its id
  // occurs in a system table outside the known holders; one line per place found.
  TableIdMap moved;
  uint32_t pinned_tables = 0;
  std::vector<std::string> pinned;
};

// The largest file the full compactor takes: it keeps the output in memory while it writes.
inline constexpr uint64_t kFullCompactionMaxBytes = uint64_t{256} << 20;

// Writes the fully compacted copy of db (which the structural checker accepted) to out and
// returns its page count. Throws FullCompactionRefused for what it cannot rewrite, JetError
// for an inconsistency found while reading.
uint32_t WriteFullyCompacted(Database& db, std::ostream& out, FullCompactStats* stats = nullptr);

}  // namespace orvelle::jet
