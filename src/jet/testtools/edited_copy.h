// Test-tool support: a copy of a database with some pages changed, written page by page and
// published under its name only after the structural checker accepted it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "jet/database.h"
#include "jet/table_def.h"

namespace orvelle::jet::test {

// Decoded images of the pages a tool changes, by page number; every other page is read from the
// database when the copy is written. Not thread-safe.
class PageEdits {
 public:
  explicit PageEdits(Database& db) : db_(db) {}
  PageEdits(const PageEdits&) = delete;
  PageEdits& operator=(const PageEdits&) = delete;

  // The image of page pn to change: a copy of the decoded page, made on first use.
  std::vector<uint8_t>& Edit(uint32_t pn);
  // The changed image of pn, or null when the page is unchanged.
  const std::vector<uint8_t>* Find(uint32_t pn) const;

  // Sets (on) or clears the bit of page pn in the usage-map row at map, inline or reference.
  // False, with nothing changed, when the map has no bit for pn (outside an inline map's window,
  // or in a range a reference map has no bitmap page for).
  bool SetMapBit(RowPointer map, uint32_t pn, bool on);
  // The bytes of the usage-map row at map as they are now (edited or not), and where they start
  // in the host page.
  std::vector<uint8_t>& MapRow(RowPointer map, size_t* offset, size_t* length);
  // Stores rows as the definition's num_rows (on its first page).
  void SetRowCount(const TableDef& t, uint32_t rows);

 private:
  Database& db_;
  std::map<uint32_t, std::vector<uint8_t>> pages_;
};

// Writes count pages of a new file of db to out. fill(pn, page) receives a page-size buffer that
// holds the decoded page pn (its edited image if edits has one; zeros past db's last page) and
// may change it; each page is then encoded as db's pages are on disk. Returns count.
uint32_t WritePages(Database& db, const PageEdits& edits, uint32_t count,
                    const std::function<void(uint32_t, uint8_t*)>& fill, std::ostream& out);

// Writes a new file at path through write, which must not exist: the bytes go to a temporary
// file beside it, which takes the name only when it is complete and, with check, the structural
// checker found no error in it. Throws JetError (naming path) otherwise; no file is left then.
void PublishNewFile(const std::string& path, bool check,
                    const std::function<void(std::ostream&)>& write);

}  // namespace orvelle::jet::test
