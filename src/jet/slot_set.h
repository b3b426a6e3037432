// A set of row slots of one file: one bit per (page, slot), 32 bytes per page whatever the
// number of rows, so that a set of every row of a table costs the same for any row count.
#pragma once

#include <cstdint>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet {

class SlotSet {
 public:
  // Room for pages 0 .. pages-1; a page beyond grows the set.
  explicit SlotSet(uint32_t pages = 0) : bits_(size_t{pages} * kWords, 0) {}

  // False when rp was in the set already.
  bool Insert(RowPointer rp) {
    const size_t w = Word(rp);
    if (w >= bits_.size()) bits_.resize((size_t{rp.page} + 1) * kWords, 0);
    const uint64_t bit = uint64_t{1} << (rp.row % 64);
    const bool fresh = (bits_[w] & bit) == 0;
    bits_[w] |= bit;
    return fresh;
  }
  bool Contains(RowPointer rp) const {
    const size_t w = Word(rp);
    return w < bits_.size() && (bits_[w] >> (rp.row % 64)) & 1;
  }
  // Forgets the slots of one page.
  void ClearPage(uint32_t page) {
    for (size_t w = size_t{page} * kWords; w < (size_t{page} + 1) * kWords && w < bits_.size(); ++w)
      bits_[w] = 0;
  }

 private:
  static constexpr size_t kWords = 256 / 64;
  static size_t Word(RowPointer rp) { return size_t{rp.page} * kWords + rp.row / 64; }
  std::vector<uint64_t> bits_;
};

}  // namespace orvelle::jet
