// Index trees: leaf and node pages, prefix compression, the entry-end bitmask, tree walks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jet/database.h"
#include "jet/table_def.h"

namespace orvelle::jet {

struct IndexPage {
  uint32_t number = 0;
  bool leaf = false;
  uint16_t free_space = 0;
  uint32_t owner = 0, prev = 0, next = 0, tail = 0;
  uint16_t prefix = 0;
  std::vector<std::string> entries;  // complete entries, prefix restored
};

// Reads one index page and checks its header, bitmask, prefix and free_space.
IndexPage ReadIndexPage(Database& db, uint32_t pn);

// Writes ip (its entries complete, in order) onto page, which holds the page's old bytes: the
// type, free_space, owner, links, prefix length, node marker, entry-end bitmask and entries are
// written anew (8.2, 8.3); other header bytes stay. Leaves share the longest prefix the keys
// allow (never reaching into a row pointer); nodes share none, as Access writes them. The entry
// area after the last entry becomes zero. False, with the page unchanged, when the entries do
// not fit.
bool EncodeIndexPage(const Layout& l, const IndexPage& ip, uint8_t* page);

// Calls f(q) for every set bit q of an index page's entry mask (the end offset of an entry in
// the entry area), lowest first. The mask is sparse: only its set bits are visited.
template <class F>
void ForEachEntryEnd(const uint8_t* mask, size_t mask_len, F&& f) {
  for (size_t byte = 0; byte < mask_len; ++byte) {
    for (unsigned bits = mask[byte]; bits != 0; bits &= bits - 1) {
      f(byte * 8 + static_cast<size_t>(__builtin_ctz(bits)));
    }
  }
}

struct IndexEntry {
  std::string key;  // key bytes, without the row pointer
  RowPointer row;
  uint32_t leaf = 0;  // page holding the entry
};

struct IndexTree {
  std::vector<uint32_t> pages;      // every page of the tree, root first
  std::vector<uint32_t> leaves;     // leaf pages in key order
  std::vector<IndexEntry> entries;  // leaf entries in key order
  size_t depth = 0;                 // 1 for a single leaf
};

// Key segments (8.7): per key column a flag byte (0x7F ascending / 0x80 descending with data,
// 0x00 / 0xFF for null, no data), then the column's encoded value.
//
// Offset in key of the segment of the k-th column of p, found by stepping over the columns
// before it; nullopt when one of those has no fixed key width (only BYTE, INTEGER and LONG
// are stepped over) or the key is too short.
std::optional<size_t> KeySegmentOffset(const TableDef& t, const PhysicalIndex& p, size_t k,
                                       const std::string& key);
// The value of a LONG segment at offset at; nullopt for a null segment or a short key.
std::optional<uint32_t> LongKeyValue(const std::string& key, size_t at);
// Re-encodes the LONG segment at at (which holds data) as value, keeping its direction.
void SetLongKeyValue(std::string& key, size_t at, uint32_t value);

// Walks physical index i of t from its root: page types and owners, node entries equal to
// their child's last entry, tail rules, the leaf chain in both directions, strictly
// increasing entries, loops. Throws JetError naming the page.
IndexTree ReadIndexTree(Database& db, const TableDef& t, size_t i);

}  // namespace orvelle::jet
