// Table definitions (TDEF): multi-page chains, columns, indexes and long-value maps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet {

enum ColumnType : uint8_t {
  kBool = 0x01,
  kByte = 0x02,
  kInt = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kFloat = 0x06,
  kDouble = 0x07,
  kDateTime = 0x08,
  kBinary = 0x09,
  kText = 0x0A,
  kOle = 0x0B,
  kMemo = 0x0C,
  kGuid = 0x0F,
  kNumeric = 0x10,
  kComplex = 0x12,
  kBigInt = 0x13,
};

struct Column {
  std::string name;
  uint8_t type = 0;
  uint16_t number = 0;     // null-mask bit; counts deleted columns
  uint16_t var_index = 0;  // index into the row's variable-offset table
  uint8_t flags = 0;
  uint8_t extended_flags = 0;  // Jet4+ only
  uint16_t fixed_offset = 0;
  uint16_t length = 0;
  size_t block = 0;  // offset of its descriptor in TableDef::bytes
  bool Fixed() const { return (flags & 0x01) != 0; }
  bool Calculated() const { return (extended_flags & 0xC0) != 0; }
  bool IsLongValue() const { return !Fixed() && (type == kOle || type == kMemo); }
};

struct PhysicalIndex {
  std::vector<uint16_t> columns;  // column numbers, in key order
  std::vector<uint8_t> ascending;
  uint32_t unique_count = 0;
  RowPointer map;
  uint32_t root = 0;
  uint8_t flags = 0;
  size_t count_block = 0;  // offsets in TableDef::bytes of its count block and its definition
  size_t block = 0;
  bool Unique() const { return (flags & 0x01) != 0; }
  bool IgnoreNulls() const { return (flags & 0x02) != 0; }
};

struct LogicalIndex {
  std::string name;
  uint32_t number = 0;
  uint32_t physical = 0;
  uint32_t rel_table = 0;  // TDEF page of the other table of a foreign key
  uint8_t kind = 0;        // 1 primary key, 2 foreign key
  size_t block = 0;        // offset of its definition in TableDef::bytes
};

struct LongValueMaps {
  uint16_t column = 0;
  RowPointer owned, free;
  size_t block = 0;  // offset of its entry (the column number) in TableDef::bytes
};

struct TableDef {
  uint32_t page = 0;            // first TDEF page
  std::vector<uint32_t> chain;  // every page of the definition, first included
  std::vector<uint8_t> bytes;   // the concatenated definition (first page whole)
  uint32_t tdef_len = 0;
  uint32_t num_rows = 0;  // stored statistic; may be stale
  uint8_t table_type = 0;
  uint16_t max_cols = 0, num_var_cols = 0, num_cols = 0;
  uint32_t num_idx = 0, num_real_idx = 0;
  RowPointer owned_map, free_map;
  std::vector<Column> columns;  // in definition order
  std::vector<PhysicalIndex> physical;
  std::vector<LogicalIndex> logical;
  std::vector<LongValueMaps> long_value_maps;
  // Offsets in bytes of the variable-length name lists.
  size_t column_names = 0, logical_names = 0;

  const Column* FindColumn(const std::string& name) const;
  int ColumnIndex(const std::string& name) const;  // -1 when absent
  const Column* ColumnByNumber(uint16_t number) const;
};

// Reads and validates the definition whose first page is pn. Throws JetError naming the page.
TableDef ReadTableDef(Database& db, uint32_t pn);

}  // namespace orvelle::jet
