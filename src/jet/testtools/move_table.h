// Test tool: a copy of a database image in which one table's definition moved to a new page,
// renumbering the table the way a compactor that moves definitions must: the definition's
// first page goes to a page appended at the end of the file (the old page becomes zeros) and
// every holder of the old id takes the new one: the owner field of the table's data and index
// pages, the other table of every foreign key naming it, the id-holding columns of the system
// tables (TableIdHolders) and the keys of their indexes. Nothing else changes (the usage maps
// still call the new page free: the result is for reading, not for the structural checker).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvelle::jet::test {

struct MovedTable {
  std::string name;
  uint32_t old_id = 0, new_id = 0;
  struct Holder {
    std::string table;    // the system table whose row held the id
    uint64_t offset = 0;  // of the rewritten 32-bit value in the image
  };
  std::vector<Holder> holders;  // every id rewritten in a row, in catalogue order
};

// Moves the table with the highest id (so that the index keys that hold it keep their order)
// in image, a plain (unencrypted) file. keys false leaves the index keys at the old id, the
// way a careless compactor would. Throws JetError when the image cannot be read, and
// std::runtime_error when an index page cannot be re-encoded.
MovedTable MoveLastTableDefinition(std::string& image, bool keys = true);

}  // namespace orvelle::jet::test
