// Test tool: deletes a share of the rows of a database's tables the way the database engine does
// after a DELETE, so that full compaction has half-empty pages to repack. A deleted row's slot
// gets the delete flags (0xC000) and its bytes are removed from the page (the rows below it move
// up; nothing else on the page changes); overflow rows it points at go the same way; the LVAL
// rows of its long values are deleted likewise; its entries leave every index of the table
// (leaf pages re-encoded, node entries following their children's last entries, index pages
// left empty taken out of the tree and marked free); the table definition's num_rows becomes the
// number of rows left. Pages are never merged or dropped: they stay, half empty, where they were.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet::test {

struct DeleteOptions {
  double share = 0.5;  // of each chosen table's live rows, 0..1: round(share x rows) go
  uint64_t seed = 1;   // the same seed deletes the same rows
  // false: user tables only. true: every local table but the two every reader needs, the
  // catalogue (MSysObjects) and MSysComplexColumns.
  bool all_tables = false;
};

struct TableDeletion {
  std::string name;
  uint64_t rows_before = 0;         // live rows in the input
  std::vector<RowPointer> deleted;  // header slots of the deleted rows, ascending
};

struct DeleteReport {
  std::vector<TableDeletion> tables;  // every table rows were chosen from, in catalogue order
  uint64_t Deleted() const;
};

// Writes the database with the rows deleted to out (page by page; the input is only read).
// Throws JetError when the input fails the structural checker, and when an index cannot be
// edited as the engine would (a node page below the root left with one child, or node entries
// that no longer fit their page).
DeleteReport DeleteRows(Database& db, const DeleteOptions& options, std::ostream& out);

// The same from the file in to the new file out (refused when it exists); out appears only
// after the structural checker found no error in it. Throws JetError.
DeleteReport DeleteRowsToFile(const std::string& in, const std::string& out,
                              const DeleteOptions& options);

}  // namespace orvelle::jet::test
