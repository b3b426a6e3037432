#include "jet/long_value.h"

#include <unordered_set>

#include "jet/rows.h"

namespace orvelle::jet {

LongValueHeader ParseLongValueHeader(Database& db, const uint8_t* span, size_t size, uint32_t page,
                                     const std::string& column) {
  if (size < 12) {
    db.Fail(page, "long value of column \"" + column + "\": " + std::to_string(size) +
                      "-byte field, expected a 12-byte header");
  }
  LongValueHeader h;
  uint32_t word = Le32(span);
  h.length = word & 0x3FFFFFFF;
  h.kind = static_cast<uint8_t>(word >> 24) & 0xC0;
  h.first = RowPointer::FromLe(Le32(span + 4));
  h.stamp = Le32(span + 8);
  return h;
}

void ReadLongValue(Database& db, const uint8_t* span, size_t size, uint32_t page,
                   const std::string& column,
                   const std::function<void(const uint8_t*, size_t)>& sink,
                   std::vector<uint32_t>* pages, std::vector<RowPointer>* rows) {
  LongValueHeader h = ParseLongValueHeader(db, span, size, page, column);
  // Named only for an error: most values are read without one.
  auto what = [&column] { return "long value of column \"" + column + "\""; };
  if (h.kind == kLvInline) {
    if (12ull + h.length > size) {
      db.Fail(page, what() + ": inline length " + std::to_string(h.length) + " beyond its " +
                        std::to_string(size - 12) + " stored bytes");
    }
    sink(span + 12, h.length);
    return;
  }
  if (h.kind == 0xC0) db.Fail(page, what() + ": unknown kind 0xC0");
  auto lval_row = [&](RowPointer rp, const char* role) {
    DataPage d = ParseDataPage(db, rp.page, "long-value page");
    if (d.owner != kLvalOwner) {
      db.Fail(rp.page, std::string("long-value page: owner ") + Hex(d.owner) +
                           ", expected \"LVAL\" (" + what() + " at page " + std::to_string(page) +
                           ")");
    }
    if (rp.row >= d.slots.size() || !d.slots[rp.row].Live()) {
      db.Fail(rp.page, std::string("long-value page: ") + role + " row " + std::to_string(rp.row) +
                           " " + (rp.row >= d.slots.size() ? "does not exist" : "is deleted") +
                           " (" + what() + " at page " + std::to_string(page) + ")");
    }
    if (pages) pages->push_back(rp.page);
    if (rows) rows->push_back(rp);
    return d;
  };
  if (h.kind == kLvSingle) {
    DataPage d = lval_row(h.first, "single");
    const Slot& s = d.slots[h.first.row];
    if (s.Length() < h.length) {
      db.Fail(h.first.page, "long-value page: row " + std::to_string(h.first.row) + " holds " +
                                std::to_string(s.Length()) + " bytes, " + what() + " declares " +
                                std::to_string(h.length));
    }
    sink(d.Row(h.first.row), h.length);
    return;
  }
  uint64_t total = 0;
  RowPointer rp = h.first;
  std::unordered_set<uint32_t> seen;
  while (true) {
    if (!seen.insert(rp.Packed()).second) {
      db.Fail(rp.page, "long-value page: chain of " + what() + " at page " + std::to_string(page) +
                           " loops back to " + Describe(rp));
    }
    DataPage d = lval_row(rp, "chain");
    const Slot& s = d.slots[rp.row];
    if (s.Length() < 4) {
      db.Fail(rp.page, "long-value page: chain row " + std::to_string(rp.row) + " has " +
                           std::to_string(s.Length()) + " bytes, expected a 4-byte link");
    }
    const uint8_t* row = d.Row(rp.row);
    size_t chunk = s.Length() - 4u;
    if (total + chunk > h.length) {
      db.Fail(rp.page, "long-value page: chain of " + what() + " holds more than the declared " +
                           std::to_string(h.length) + " bytes");
    }
    sink(row + 4, chunk);
    total += chunk;
    RowPointer next = RowPointer::FromLe(Le32(row));
    if (next.IsNull()) break;
    rp = next;
  }
  if (total != h.length) {
    db.Fail(h.first.page, "long-value page: chain of " + what() + " at page " +
                              std::to_string(page) + " holds " + std::to_string(total) +
                              " bytes, declared " + std::to_string(h.length));
  }
}

}  // namespace orvelle::jet
