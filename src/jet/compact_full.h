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

// Where the full compactor's pages go, each once, in any order: most pages are written as soon
// as they are complete, the table definitions, maps and pages 0 and 1 at the end, once their
// pointers are known. Pages arrive encoded for the output (Database::EncodeOutputPage).
class PageSink {
 public:
  virtual ~PageSink() = default;
  virtual void Put(uint32_t position, const uint8_t* page) = 0;
};

// Writes the fully compacted copy of db (which the structural checker accepted) to out and
// returns its page count; every position below it is put once (free positions as zero pages).
// The writer holds only the pages whose contents wait on later ones (definitions, maps, the
// upper levels of the index being written), not the copy. Throws FullCompactionRefused for what
// it cannot rewrite, JetError for an inconsistency found while reading.
uint32_t WriteFullyCompacted(Database& db, PageSink& out, FullCompactStats* stats = nullptr);

// The same into a stream, in page order (the pages are gathered in memory first).
uint32_t WriteFullyCompacted(Database& db, std::ostream& out, FullCompactStats* stats = nullptr);

}  // namespace orvelle::jet
