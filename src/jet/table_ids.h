// Where a database stores table ids outside the table definitions themselves. A table's id is
// the page number of its first definition page, so a definition that moves to another page
// renumbers its table in every one of these places.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "jet/table_def.h"

namespace orvelle::jet {

// Old id -> new id of the tables whose definitions moved; an id absent from the map is kept.
using TableIdMap = std::map<uint32_t, uint32_t>;

inline uint32_t MapTableId(const TableIdMap& ids, uint32_t id) {
  auto it = ids.find(id);
  return it == ids.end() ? id : it->second;
}

// A LONG column of a system table whose values are object ids: table ids for tables, other
// numbers (containers, queries, forms: all at or above 0x0F000000, never a page number) for
// other objects. Besides these, a definition's logical indexes name the other table of a
// foreign key, and data and index pages name their table's definition as their owner.
struct TableIdHolder {
  const char* table;
  const char* column;
};
const std::vector<TableIdHolder>& TableIdHolders();

// Positions in t.columns of the holder columns of the table called name (empty when it holds
// none). Names are compared without regard to letter case, as the engine does.
std::vector<size_t> HolderColumns(const TableDef& t, const std::string& name);

}  // namespace orvelle::jet
