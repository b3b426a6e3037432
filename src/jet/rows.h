// Data pages, row slots, overflow rows and the columns of a row.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "jet/database.h"
#include "jet/table_def.h"

namespace orvelle::jet {

enum RowFlags : uint16_t {
  kRowOverflowHeader = 0x4000,  // first 4 bytes point at the row holding the data
  kRowNotScanned = 0x8000,      // deleted (with 0x4000) or an overflow target (alone)
};

struct Slot {
  uint16_t offset = 0;  // start of the row in the page
  uint16_t end = 0;     // one past its last byte
  uint16_t flags = 0;   // bits 14 and 15
  bool Deleted() const { return (flags & 0xC000) == 0xC000; }
  bool OverflowHeader() const { return flags == kRowOverflowHeader; }
  bool OverflowTarget() const { return flags == kRowNotScanned; }
  bool Live() const { return (flags & kRowNotScanned) == 0; }
  uint16_t Length() const { return static_cast<uint16_t>(end - offset); }
};

// A decoded data page (table data, long values or usage-map rows). ParseDataPage checks the
// slot table: every row lies between the slot table and the page end, rows are packed from
// the end in slot order.
struct DataPage {
  uint32_t number = 0;
  uint32_t owner = 0;  // TDEF page, "LVAL" or 0 for usage-map hosts
  uint16_t free_space = 0;
  uint32_t stamp = 0;  // Jet4+ bytes 8..11
  std::vector<Slot> slots;
  Page page;
  const uint8_t* Row(size_t slot) const { return page->data() + slots[slot].offset; }
};

constexpr uint32_t kLvalOwner = 0x4C41564C;  // "LVAL"

DataPage ParseDataPage(Database& db, uint32_t pn, const char* structure);

// One row to place on a data page: its bytes (outside the page being written) and slot flags.
struct RowImage {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint16_t flags = 0;
};

// Lays rows out on a data page from its end in slot order, without gaps (6.1), and writes the
// slot table, the row count and free_space (6.2); the rest of the header stays as it is. The
// bytes between the slot table and the rows become zero. False, with the page unchanged, when
// the rows and their slots do not fit.
bool LayOutRows(const Layout& l, uint8_t* page, const std::vector<RowImage>& rows);

// A live row of a table: where its slot is (header) and where its bytes are (data, which
// differs after overflow). The page stays alive for the duration of the callback.
struct LiveRow {
  RowPointer header;
  RowPointer data;
  Page page;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// Calls fn for every live row of the table, in page order of its owned map, following
// overflow pointers. Checks every data page's owner.
void ForEachLiveRow(Database& db, const TableDef& t, const std::function<void(const LiveRow&)>& fn);

// The row in slot of a parsed page of t (a live slot), following overflow pointers.
LiveRow FollowRow(Database& db, const TableDef& t, const DataPage& page, size_t slot);

// Resolves the data of the row at rp, following overflow pointers with loop detection.
LiveRow ResolveRow(Database& db, const TableDef& t, RowPointer rp);

struct ColumnData {
  bool present = false;  // not null (for booleans: the value)
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// One entry per TableDef column, in the same order.
struct CrackedRow {
  RowPointer where;  // header slot
  RowPointer data;   // slot holding the bytes
  uint16_t column_count = 0;
  std::vector<ColumnData> columns;
  size_t row_size = 0;
};

CrackedRow CrackRow(Database& db, const TableDef& t, const LiveRow& row);
// The same into cr, whose storage is reused: a scan cracks every row into one CrackedRow.
void CrackRow(Database& db, const TableDef& t, const LiveRow& row, CrackedRow& cr);

}  // namespace orvelle::jet
