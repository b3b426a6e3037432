#include "jet/testtools/move_table.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "jet/database.h"
#include "jet/index.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/table_ids.h"
#include "jet/usage_map.h"

namespace orvelle::jet::test {

namespace {

void Put32(std::string& image, uint64_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) image.at(at + i) = static_cast<char>(v >> (8 * i));
}

// File offset of byte at of a definition's concatenated bytes.
uint64_t DefinitionOffset(const TableDef& t, uint32_t page_size, size_t at) {
  if (at < page_size) return uint64_t{t.chain[0]} * page_size + at;
  size_t rest = at - page_size;
  size_t k = 1 + rest / (page_size - 8);
  return uint64_t{t.chain.at(k)} * page_size + 8 + rest % (page_size - 8);
}

}  // namespace

MovedTable MoveLastTableDefinition(std::string& image, bool keys) {
  Database db(MemorySource("moved", image));
  if (db.GetHeader().database_key != 0) {
    throw std::runtime_error("moving a table definition needs a plain file");
  }
  const Layout& l = db.GetLayout();
  const uint32_t ps = l.page_size;
  const std::vector<CatalogEntry> catalog = db.Catalog();
  auto last = std::max_element(catalog.begin(), catalog.end(),
                               [](const auto& x, const auto& y) { return x.id < y.id; });
  MovedTable m;
  m.name = last->name;
  m.old_id = last->id;
  m.new_id = db.PageCount();
  std::map<uint64_t, uint32_t> values;                // file offset -> new 32-bit value
  std::map<uint64_t, uint8_t> bytes;                  // the same for single bytes
  std::map<uint32_t, std::vector<uint8_t>> rewrites;  // re-encoded index pages
  TableDef t = ReadTableDef(db, m.old_id);
  for (uint32_t pn : ReadUsageMap(db, t.owned_map, "owned-pages map").pages) {
    values[uint64_t{pn} * ps + 4] = m.new_id;
  }
  for (size_t i = 0; i < t.physical.size(); ++i) {
    for (uint32_t pn : ReadIndexTree(db, t, i).pages) values[uint64_t{pn} * ps + 4] = m.new_id;
  }
  for (const CatalogEntry& e : catalog) {
    TableDef o = ReadTableDef(db, e.id);
    for (const LogicalIndex& li : o.logical) {
      if (li.rel_table != m.old_id) continue;
      for (size_t b = 0; b < 4; ++b) {
        // Byte by byte: the field may straddle two pages of the definition.
        bytes[DefinitionOffset(o, ps, li.block + l.lidx_rel_table + b)] =
            static_cast<uint8_t>(m.new_id >> (8 * b));
      }
    }
    std::vector<size_t> holders = HolderColumns(o, e.name);
    if (holders.empty()) continue;
    ForEachLiveRow(db, o, [&](const LiveRow& r) {
      CrackedRow cr = CrackRow(db, o, r);
      for (size_t k : holders) {
        const ColumnData& cd = cr.columns[k];
        if (!cd.present || cd.size != 4 || Le32(cd.data) != m.old_id) continue;
        uint64_t at = uint64_t{r.data.page} * ps + static_cast<uint64_t>(cd.data - r.page->data());
        values[at] = m.new_id;
        m.holders.push_back({e.name, at});
      }
    });
    for (size_t i = 0; keys && i < o.physical.size(); ++i) {
      const PhysicalIndex& p = o.physical[i];
      std::vector<size_t> positions;
      for (size_t k = 0; k < p.columns.size(); ++k) {
        for (size_t h : holders) {
          if (o.columns[h].number == p.columns[k]) positions.push_back(k);
        }
      }
      if (positions.empty()) continue;
      for (uint32_t pn : ReadIndexTree(db, o, i).pages) {
        IndexPage ip = ReadIndexPage(db, pn);
        bool changed = false;
        for (std::string& entry : ip.entries) {
          std::string key = entry.substr(0, entry.size() - (ip.leaf ? 4 : 8));
          for (size_t k : positions) {
            std::optional<size_t> at = KeySegmentOffset(o, p, k, key);
            if (!at || LongKeyValue(key, *at) != m.old_id) continue;
            SetLongKeyValue(entry, *at, m.new_id);
            changed = true;
          }
        }
        if (!changed) continue;
        Page old = db.ReadPage(pn, "index page");
        std::vector<uint8_t> page(old->begin(), old->end());
        if (!EncodeIndexPage(l, ip, page.data())) {
          throw std::runtime_error("index page " + std::to_string(pn) + " cannot be re-encoded");
        }
        rewrites[pn] = std::move(page);
      }
    }
  }
  for (const auto& [pn, page] : rewrites) {
    std::memcpy(&image[uint64_t{pn} * ps], page.data(), ps);
  }
  for (const auto& [at, v] : values) Put32(image, at, v);
  for (const auto& [at, v] : bytes) image.at(at) = static_cast<char>(v);
  image.resize(uint64_t{m.new_id + 1} * ps);
  std::memcpy(&image[uint64_t{m.new_id} * ps], &image[uint64_t{m.old_id} * ps], ps);
  std::memset(&image[uint64_t{m.old_id} * ps], 0, ps);
  return m;
}

}  // namespace orvelle::jet::test
