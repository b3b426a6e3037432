// Test tool: makes a large database of live rows out of a small one. It appends copies of every
// live row of one user table without indexes to the end of the file, on new data pages packed
// as the engine fills them (up to 255 rows a page), with copies of their long values on new LVAL
// pages (single-row values packed together, chains one chunk a page, as in the source). The
// table's owned-pages map, each long-value column's owned map and the global map describe the
// new pages (turning into reference maps on type-0x05 pages when an inline row cannot), and
// num_rows counts every row. Nothing else changes: the copies are ordinary rows that both
// readers list, and every page is live. The file is written in one pass with memory bounded by
// one round of copies (about a megabyte, or the table's size when larger), whatever its size.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "jet/database.h"

namespace orvelle::jet::test {

struct GrowOptions {
  uint64_t size = 0;  // the output has at least this many bytes
  // The table to copy; empty: the user table without indexes with the most row bytes.
  std::string table;
};

struct GrowReport {
  std::string table;
  uint64_t rows_before = 0;  // live rows of the table in the input
  uint64_t rows_added = 0;
  uint32_t pages_before = 0;
  uint32_t pages_after = 0;
};

// Writes the grown database to out. Throws JetError when the input fails the structural
// checker, when no table qualifies (a user table with rows and without indexes, complex
// columns or columns of unknown type), when the size is not above the input's or beyond the
// format's limit (1 GiB Jet3, 2 GiB otherwise), or when a map row is too short for the slots
// the size needs.
GrowReport Grow(Database& db, const GrowOptions& options, std::ostream& out);

// The same from the file in to the new file out (refused when it exists). The output is not
// checked here: the checker's memory grows with the rows, the grower's must not.
GrowReport GrowToFile(const std::string& in, const std::string& out, const GrowOptions& options);

// Reads a byte count: digits with an optional K, M or G (powers of 1024), optionally followed by
// B ("500M", "3MB", "4096"). False for anything else.
bool ParseSize(const std::string& text, uint64_t* bytes);

}  // namespace orvelle::jet::test
