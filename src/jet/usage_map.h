// Usage maps: inline and reference rows on host pages, type-0x05 bitmap pages, page 1.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet {

struct UsageMap {
  RowPointer where;
  bool present = false;                                // false for a null row pointer ("no map")
  bool reference = false;                              // bitmap on type-0x05 pages
  std::vector<uint32_t> pages;                         // set bits inside the file, ascending
  std::vector<uint32_t> bitmap_pages;                  // type-0x05 pages of a reference map
  std::vector<std::pair<uint64_t, uint64_t>> covered;  // page ranges [first, end) it describes
  uint64_t beyond_eof = 0;  // set bits for pages past the end of the file
  uint64_t first_beyond_eof = 0;
  bool Covers(uint64_t pn) const;
};

// Reads the map row at rp (a null rp gives an empty map with present == false). what names
// the map in errors ("table owned-pages map").
UsageMap ReadUsageMap(Database& db, RowPointer rp, const std::string& what);

// The global map: page 1 row 0. A set bit means the page is free.
UsageMap ReadGlobalMap(Database& db);

}  // namespace orvelle::jet
