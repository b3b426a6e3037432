// The equivalence checker: two files hold the same tables, rows, long values and index
// entries, whatever their page layout.
#pragma once

#include <string>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet {

struct CompareReport {
  std::vector<std::string> matched;      // one line per table found equal
  std::vector<std::string> differences;  // one line per difference
  bool Equivalent() const { return differences.empty(); }
};

// Compares table by table: definitions (apart from page pointers and num_rows), the multiset
// of rows with long-value pointers replaced by a digest of the resolved value, and for every
// index the sequence of (key, row). Throws JetError when either file cannot be read.
CompareReport CompareDatabases(Database& a, Database& b);

}  // namespace orvelle::jet
