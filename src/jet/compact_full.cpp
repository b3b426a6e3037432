#include "jet/compact_full.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/page_walk.h"
#include "jet/rows.h"
#include "jet/slot_set.h"
#include "jet/table_def.h"
#include "jet/table_ids.h"
#include "jet/usage_map.h"

namespace orvelle::jet {

namespace {

using Image = std::vector<uint8_t>;

void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string RowPointerBe(RowPointer rp) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(rp.page >> 16);
  s[1] = static_cast<char>(rp.page >> 8);
  s[2] = static_cast<char>(rp.page);
  s[3] = static_cast<char>(rp.row);
  return s;
}

std::string PageBe(uint32_t pn) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(pn >> (24 - 8 * i));
  return s;
}

// A usage map to be written: the pages it lists (new numbers), and where its row pointer goes
// inside a table definition.
struct MapRequest {
  size_t table = 0;
  uint32_t field = 0;  // offset of the row pointer in the concatenated definition
  std::vector<uint32_t> pages;
};

struct TableOut {
  TableDef def;
  std::string name;
  uint32_t id = 0;              // the new id: first page of the definition in the output
  std::vector<uint32_t> chain;  // new pages of the definition
  std::vector<std::pair<uint32_t, uint32_t>> page_fields;  // root pages: (offset, page)
  uint32_t live_rows = 0;
};

class FullWriter {
 public:
  explicit FullWriter(Database& db) : db_(db), l_(db.GetLayout()), ps_(l_.page_size) {}

  uint32_t Run(PageSink& out, FullCompactStats* stats) {
    out_ = &out;
    values_seen_ = SlotSet(db_.PageCount());
    const std::vector<CatalogEntry>& catalog = db_.Catalog();
    fixed_.assign(db_.PageCount(), false);
    fixed_[0] = fixed_[1] = true;
    for (const CatalogEntry& e : catalog) {
      TableOut t;
      t.def = ReadTableDef(db_, e.id);
      t.name = e.name;
      tables_.push_back(std::move(t));
    }
    // In the order of their ids: definitions moving down keep their order, and compacting the
    // output again lays it out the same way.
    std::sort(tables_.begin(), tables_.end(),
              [](const TableOut& a, const TableOut& b) { return a.def.page < b.def.page; });
    std::set<uint32_t> pinned = PinnedTables(stats);
    // A pinned table keeps its first page, its id; continuation pages are named only by the
    // page before them and go to the first pages left, like every moved definition.
    for (TableOut& t : tables_) {
      if (!pinned.count(t.def.page)) continue;
      t.id = t.def.page;
      fixed_[t.id] = true;
    }
    for (TableOut& t : tables_) {
      const bool stays = pinned.count(t.def.page) > 0;
      for (size_t i = 0; i < t.def.chain.size(); ++i) {
        t.chain.push_back(i == 0 && stays ? t.id : Allocate());
      }
      t.id = t.chain.front();
      if (t.id != t.def.page) ids_[t.def.page] = t.id;
    }
    // Contents in the order of the new ids, which the next compaction finds.
    std::sort(tables_.begin(), tables_.end(),
              [](const TableOut& a, const TableOut& b) { return a.id < b.id; });
    for (size_t i = 0; i < tables_.size(); ++i) WriteTable(i);
    WriteMaps();
    WriteDefinitions();
    WritePageOne();
    const uint32_t count = PageCount();
    if (!held_.empty())
      db_.Fail(held_.begin()->first, "full compactor: output page left unwritten");
    const Image zeros(ps_, 0);
    for (uint32_t pos = 0; pos < count; ++pos) {
      if (Taken(pos)) continue;
      if (stats) ++stats->gap_pages;
      Emit(pos, zeros);
    }
    if (stats) {
      stats->moved = ids_;
      stats->tables = static_cast<uint32_t>(tables_.size());
      stats->rows = rows_;
      stats->data_pages = data_pages_;
      stats->long_value_pages = lv_pages_;
      stats->index_pages = index_pages_;
      stats->map_pages = map_pages_;
    }
    return count;
  }

 private:
  uint32_t PageCount() const {
    uint32_t n = cursor_;
    for (uint32_t p = 0; p < fixed_.size(); ++p) {
      if (fixed_[p]) n = std::max(n, p + 1);
    }
    return n;
  }

  // The next position not taken by a table definition.
  uint32_t Allocate() {
    while (cursor_ < fixed_.size() && fixed_[cursor_]) ++cursor_;
    return cursor_++;
  }

  // A page being written, held until Flush.
  Image& NewImage(uint32_t pos, uint8_t type) {
    Image& img = held_[pos];
    img.assign(ps_, 0);
    img[0] = type;
    img[1] = 0x01;
    return img;
  }

  // Puts a complete page to the output.
  void Emit(uint32_t pos, const Image& img) {
    if (pos >= written_.size()) written_.resize(std::max<size_t>(pos + 1, 2 * written_.size()));
    if (written_[pos]) db_.Fail(pos, "full compactor: output page written twice");
    written_[pos] = true;
    scratch_.assign(img.begin(), img.end());
    db_.EncodeOutputPage(pos, scratch_.data());
    out_->Put(pos, scratch_.data());
  }

  void Flush(uint32_t pos) {
    auto it = held_.find(pos);
    Emit(pos, it->second);
    held_.erase(it);
  }

  // Written, or being written.
  bool Taken(uint32_t pos) const {
    return (pos < written_.size() && written_[pos]) || held_.count(pos) > 0;
  }

  // --- which definitions move ---------------------------------------------------------------

  static bool SystemName(const std::string& name) {
    return name.size() >= 4 && (name[0] == 'M' || name[0] == 'm') &&
           (name[1] == 'S' || name[1] == 's') && (name[2] == 'y' || name[2] == 'Y') &&
           (name[3] == 's' || name[3] == 'S');
  }

  // The catalogue (always page 2), and every table whose id occurs as a 32-bit value in a row
  // or long value of a system table outside the holders rewritten here. When a holder cannot
  // be rewritten (not a LONG column, or an index whose key cannot be stepped to it), nothing
  // moves.
  std::set<uint32_t> PinnedTables(FullCompactStats* stats) {
    std::set<uint32_t> pinned = {2};
    std::vector<std::string> found;
    auto pin_all = [&](const std::string& why) {
      for (const TableOut& t : tables_) pinned.insert(t.def.page);
      found.push_back("every table: " + why);
    };
    for (const TableOut& t : tables_) {
      for (size_t k : HolderColumns(t.def, t.name)) {
        const Column& c = t.def.columns[k];
        if (c.type != kLong) pin_all(t.name + " column \"" + c.name + "\" is not a LONG column");
        for (const PhysicalIndex& p : t.def.physical) {
          if (!std::count(p.columns.begin(), p.columns.end(), c.number)) continue;
          for (size_t j = 0; j < p.columns.size() && p.columns[j] != c.number; ++j) {
            const Column* before = t.def.ColumnByNumber(p.columns[j]);
            if (!before ||
                (before->type != kByte && before->type != kInt && before->type != kLong)) {
              pin_all("an index of " + t.name + " keys column \"" + c.name +
                      "\" after a column of variable width");
            }
          }
        }
      }
    }
    std::map<uint32_t, std::set<std::string>> where;
    if (pinned.size() < tables_.size()) {
      std::vector<bool> ids(db_.PageCount(), false);  // by page: a table id
      for (const TableOut& t : tables_) ids[t.def.page] = true;
      for (const TableOut& t : tables_) {
        if (SystemName(t.name)) SearchIds(t, ids, where);
      }
    }
    for (const TableOut& t : tables_) {
      auto w = where.find(t.def.page);
      if (w == where.end() || t.def.page == 2) continue;
      pinned.insert(t.def.page);
      std::string line = "table \"" + t.name + "\" (id " + std::to_string(t.def.page) + "):";
      for (const std::string& place : w->second) line += " " + place + ";";
      line.pop_back();
      found.push_back(line);
    }
    if (stats) {
      stats->pinned = found;
      stats->pinned_tables = static_cast<uint32_t>(pinned.size() - 1);
    }
    return pinned;
  }

  // Records in where every id of ids found in t's rows and long values, with the place.
  void SearchIds(const TableOut& t, const std::vector<bool>& ids,
                 std::map<uint32_t, std::set<std::string>>& where) {
    const std::vector<size_t> holders = HolderColumns(t.def, t.name);
    auto scan = [&](const uint8_t* b, size_t n, const std::function<std::string(size_t)>& place) {
      for (size_t i = 0; i + 4 <= n; ++i) {
        const uint32_t v = Le32(b + i);
        if (v < ids.size() && ids[v]) {
          std::string p = place(i);
          if (!p.empty()) where[v].insert(p);
        }
      }
    };
    ForEachLiveRow(db_, t.def, [&](const LiveRow& r) {
      CrackedRow cr = CrackRow(db_, t.def, r);
      scan(r.bytes, r.size, [&](size_t at) -> std::string {
        for (size_t k = 0; k < t.def.columns.size(); ++k) {
          const ColumnData& cd = cr.columns[k];
          if (!cd.present || !cd.data) continue;
          const size_t from = static_cast<size_t>(cd.data - r.bytes);
          if (at < from || at >= from + cd.size) continue;
          const bool holder = std::count(holders.begin(), holders.end(), k) > 0;
          if (holder && at + 4 <= from + cd.size) return std::string();
          return t.name + " column \"" + t.def.columns[k].name + "\"";
        }
        return t.name + " row bytes";
      });
      for (size_t k = 0; k < t.def.columns.size(); ++k) {
        const Column& c = t.def.columns[k];
        const ColumnData& cd = cr.columns[k];
        if (!c.IsLongValue() || !cd.present || cd.size < 12) continue;
        std::string value;
        ReadLongValue(
            db_, cd.data, cd.size, r.data.page, c.name,
            [&](const uint8_t* p, size_t n) { value.append(reinterpret_cast<const char*>(p), n); },
            nullptr);
        scan(reinterpret_cast<const uint8_t*>(value.data()), value.size(),
             [&](size_t) { return t.name + " long value of column \"" + c.name + "\""; });
      }
    });
  }

  // --- rows and long values ------------------------------------------------------------------

  // A row in the order it is written: its header and its size.
  struct RowPlace {
    RowPointer header;
    uint16_t size = 0;
  };

  // Single-row long values of one column share pages; chains get one page per chunk.
  struct ColumnPages {
    std::vector<uint32_t> pages;   // every page of the column, in allocation order
    std::vector<uint32_t> spaced;  // pages with room left (free-space map)
    uint32_t open = 0;             // page taking single values, 0 = none
    std::vector<Image> open_rows;
    size_t open_used = 0;
  };

  void CloseColumnPage(ColumnPages& c) {
    if (c.open == 0) return;
    Image& img = NewImage(c.open, kPageData);
    Store32(img.data() + 4, kLvalOwner);
    std::vector<RowImage> rows;
    for (const Image& r : c.open_rows) rows.push_back({r.data(), r.size(), 0});
    if (!LayOutRows(l_, img.data(), rows)) db_.Fail(c.open, "long-value page: rows do not fit");
    if (Le16(img.data() + 2) >= ps_ / 4) c.spaced.push_back(c.open);
    Flush(c.open);
    c.open = 0;
    c.open_rows.clear();
  }

  RowPointer PlaceSingle(ColumnPages& c, Image row) {
    const size_t capacity = ps_ - l_.data_header;
    if (c.open != 0 && (c.open_used + row.size() + 2 > capacity || c.open_rows.size() >= 255)) {
      CloseColumnPage(c);
    }
    if (c.open == 0) {
      c.open = Allocate();
      c.pages.push_back(c.open);
      ++lv_pages_;
      c.open_used = 0;
    }
    RowPointer rp{c.open, static_cast<uint8_t>(c.open_rows.size())};
    c.open_used += row.size() + 2;
    c.open_rows.push_back(std::move(row));
    return rp;
  }

  RowPointer PlaceChain(ColumnPages& c, const std::vector<RowPointer>& chunks, uint32_t stamp) {
    std::vector<uint32_t> at;
    for (size_t i = 0; i < chunks.size(); ++i) at.push_back(Allocate());
    for (size_t i = 0; i < chunks.size(); ++i) {
      DataPage src = ParseDataPage(db_, chunks[i].page, "long-value page");
      if (chunks[i].row >= src.slots.size()) db_.Fail(chunks[i].page, "long-value row missing");
      const uint8_t* bytes = src.Row(chunks[i].row);
      Image row(bytes, bytes + src.slots[chunks[i].row].Length());
      if (row.size() < 4) db_.Fail(chunks[i].page, "long-value chain row shorter than 4 bytes");
      Store32(row.data(), i + 1 < chunks.size() ? at[i + 1] << 8 : 0);
      Image& img = NewImage(at[i], kPageData);
      Store32(img.data() + 4, kLvalOwner);
      if (!l_.jet3 && i == 0) Store32(img.data() + 8, stamp);
      RowImage one{row.data(), row.size(), 0};
      if (!LayOutRows(l_, img.data(), {one})) db_.Fail(at[i], "long-value chunk does not fit");
      Flush(at[i]);
      c.pages.push_back(at[i]);
      ++lv_pages_;
    }
    return {at.front(), 0};
  }

  // Copies a long value to its new pages and returns its new first row.
  RowPointer MoveLongValue(ColumnPages& c, const LongValueHeader& h,
                           const std::vector<RowPointer>& rows, const std::string& column) {
    if (rows.empty()) db_.Fail(h.first.page, "long value of \"" + column + "\" without rows");
    if (!values_seen_.Insert(rows.front())) {
      throw FullCompactionRefused("a long value of column \"" + column +
                                  "\" is referenced by two rows");
    }
    if (h.kind == kLvSingle) {
      DataPage src = ParseDataPage(db_, rows.front().page, "long-value page");
      const uint8_t* bytes = src.Row(rows.front().row);
      return PlaceSingle(c, Image(bytes, bytes + src.slots[rows.front().row].Length()));
    }
    return PlaceChain(c, rows, h.stamp);
  }

  // The key with every table id it holds (in a holder column, of holders) renumbered.
  std::string RenumberedKey(const TableDef& t, const std::vector<size_t>& holders,
                            const PhysicalIndex& p, std::string key) const {
    if (ids_.empty()) return key;
    for (size_t h : holders) {
      for (size_t k = 0; k < p.columns.size(); ++k) {
        if (p.columns[k] != t.columns[h].number) continue;
        std::optional<size_t> at = KeySegmentOffset(t, p, k, key);
        if (!at) continue;
        std::optional<uint32_t> v = LongKeyValue(key, *at);
        if (v && ids_.count(*v)) SetLongKeyValue(key, *at, ids_.at(*v));
      }
    }
    return key;
  }

  static bool HasPrimaryKey(const TableDef& t) {
    return std::any_of(t.logical.begin(), t.logical.end(), [&](const LogicalIndex& li) {
      return li.kind == 1 && li.physical < t.physical.size();
    });
  }

  // Sorts places (in scan order) by the primary key's entries; rows the key does not reach
  // (none, in a consistent file) keep their scan order after the others.
  void OrderByPrimaryKey(const TableDef& t, const std::string& name,
                         std::vector<RowPlace>& places) {
    for (const LogicalIndex& li : t.logical) {
      if (li.kind != 1 || li.physical >= t.physical.size()) continue;
      IndexTree tree = ReadIndexTree(db_, t, li.physical);
      // The order of the keys as they will be written: renumbered ids sort differently.
      std::vector<std::pair<std::string, uint32_t>> keys;
      const std::vector<size_t> holders = HolderColumns(t, name);
      for (const IndexEntry& e : tree.entries) {
        keys.push_back({RenumberedKey(t, holders, t.physical[li.physical], e.key), e.row.Packed()});
      }
      std::sort(keys.begin(), keys.end());
      std::unordered_map<uint32_t, size_t> rank;
      for (size_t k = 0; k < keys.size(); ++k) rank.emplace(keys[k].second, k);
      auto key = [&](const RowPlace& p) {
        auto it = rank.find(p.header.Packed());
        return it == rank.end() ? tree.entries.size() : it->second;
      };
      std::stable_sort(places.begin(), places.end(),
                       [&](const RowPlace& a, const RowPlace& b) { return key(a) < key(b); });
      return;
    }
  }

  void WriteTable(size_t ti) {
    TableOut& out = tables_[ti];
    const TableDef& t = out.def;
    const size_t capacity = ps_ - l_.data_header;
    // Rows go in primary-key order when the table has a primary key, else in the order of the
    // scan; only the former needs the rows listed first. Data pages are taken as they fill,
    // among the long-value pages of their rows.
    std::vector<RowPlace> places;
    const bool keyed = HasPrimaryKey(t);
    struct Packer {
      size_t capacity, used = 0, count = 0;
      uint32_t pages = 0;
      bool Next(size_t size) {  // true when the row starts a page
        const bool fresh = pages == 0 || used + size + 2 > capacity || count >= 255;
        if (fresh) {
          ++pages;
          used = count = 0;
        }
        used += size + 2;
        ++count;
        return fresh;
      }
    };
    if (keyed) {
      ForEachLiveRow(db_, t, [&](const LiveRow& r) {
        if (r.size + 2 > capacity) db_.Fail(r.data.page, "row larger than a page");
        places.push_back({r.header, static_cast<uint16_t>(r.size)});
      });
      OrderByPrimaryKey(t, out.name, places);
    }
    std::vector<uint32_t> data_at;
    // Old header -> new row, for the indexes.
    std::vector<std::pair<uint32_t, uint32_t>> moved;

    // Pass 2: the rows, their long values patched to their new places.
    std::map<uint16_t, ColumnPages> columns;
    const std::vector<size_t> holders = HolderColumns(t, out.name);
    const std::string tname = "table " + std::to_string(t.page);
    // Rows of a table without id holders, long values or columns of unknown types are copied
    // as they are: nothing in them needs their columns found.
    const bool plain_rows =
        holders.empty() && std::none_of(t.columns.begin(), t.columns.end(), [](const Column& c) {
          return c.IsLongValue() || (!c.Fixed() && !KnownType(c.type));
        });
    std::vector<uint32_t> spaced;
    // The rows of the page being filled, one after the other, and where each starts.
    Image page_bytes;
    std::vector<size_t> row_starts;
    std::vector<RowImage> images;
    CrackedRow cr;  // reused from row to row
    Packer pack{capacity};
    auto close_page = [&](uint32_t page) {
      const uint32_t pos = data_at[page];
      Image& img = NewImage(pos, kPageData);
      Store32(img.data() + 4, out.id);
      images.clear();
      for (size_t i = 0; i < row_starts.size(); ++i) {
        const size_t end = i + 1 < row_starts.size() ? row_starts[i + 1] : page_bytes.size();
        images.push_back({page_bytes.data() + row_starts[i], end - row_starts[i], 0});
      }
      if (!LayOutRows(l_, img.data(), images)) db_.Fail(pos, "rows do not fit");
      if (Le16(img.data() + 2) >= ps_ / 4) spaced.push_back(pos);
      Flush(pos);
      page_bytes.clear();
      row_starts.clear();
    };
    auto place = [&](const LiveRow& r) {
      if (r.size + 2 > capacity) db_.Fail(r.data.page, "row larger than a page");
      if (pack.Next(r.size)) {
        if (pack.pages > 1) close_page(pack.pages - 2);
        data_at.push_back(Allocate());
      }
      if (!t.physical.empty()) {
        const RowPointer to{data_at[pack.pages - 1], static_cast<uint8_t>(pack.count - 1)};
        moved.push_back({r.header.Packed(), to.Packed()});
      }
      const size_t start = page_bytes.size();
      row_starts.push_back(start);
      page_bytes.insert(page_bytes.end(), r.bytes, r.bytes + r.size);
      if (plain_rows) return;
      uint8_t* bytes = page_bytes.data() + start;
      CrackRow(db_, t, r, cr);
      for (size_t k : holders) {
        const ColumnData& cd = cr.columns[k];
        if (!cd.present || cd.size != 4) continue;
        Store32(bytes + (cd.data - r.bytes), MapTableId(ids_, Le32(cd.data)));
      }
      for (size_t k = 0; k < t.columns.size(); ++k) {
        const Column& c = t.columns[k];
        const ColumnData& cd = cr.columns[k];
        if (!c.Fixed() && !KnownType(c.type) && cd.present && cd.size > 0) {
          throw FullCompactionRefused("column \"" + c.name + "\" of " + tname +
                                      " has the unknown type " + Hex(c.type));
        }
        if (!c.IsLongValue() || !cd.present) continue;
        LongValueHeader h = ParseLongValueHeader(db_, cd.data, cd.size, r.data.page, c.name);
        if (h.kind == kLvInline) continue;
        std::vector<RowPointer> lv_rows;
        std::vector<uint32_t> lv_pages;
        ReadLongValue(
            db_, cd.data, cd.size, r.data.page, c.name, [](const uint8_t*, size_t) {}, &lv_pages,
            &lv_rows);
        RowPointer to = MoveLongValue(columns[c.number], h, lv_rows, c.name);
        Store32(page_bytes.data() + start + (cd.data - r.bytes) + 4, to.Packed());
      }
    };
    uint64_t placed = 0;
    if (keyed) {
      for (const RowPlace& p : places) {
        LiveRow r = ResolveRow(db_, t, p.header);
        if (r.size != p.size) db_.Fail(r.data.page, "the rows changed between two scans");
        place(r);
        ++placed;
      }
    } else {
      ForEachLiveRow(db_, t, [&](const LiveRow& r) {
        place(r);
        ++placed;
      });
    }
    if (pack.pages > 0) close_page(pack.pages - 1);
    data_pages_ += pack.pages;
    std::vector<RowPlace>().swap(places);
    std::sort(moved.begin(), moved.end());
    for (auto& [number, c] : columns) CloseColumnPage(c);
    out.live_rows = static_cast<uint32_t>(placed);
    rows_ += placed;

    // Maps of the table and its long-value columns.
    const Offsets off = DefinitionOffsets(t);
    RequestMap(ti, t.owned_map, l_.tdef_owned_map, data_at, "owned-pages map");
    RequestMap(ti, t.free_map, l_.tdef_free_map, spaced, "free-space map");
    for (size_t m = 0; m < t.long_value_maps.size(); ++m) {
      const LongValueMaps& lm = t.long_value_maps[m];
      auto it = columns.find(lm.column);
      std::vector<uint32_t> none;
      RequestMap(ti, lm.owned, off.long_value[m], it == columns.end() ? none : it->second.pages,
                 "long-value map");
      RequestMap(ti, lm.free, off.long_value[m] + 4, it == columns.end() ? none : it->second.spaced,
                 "long-value free map");
      if (it != columns.end()) columns.erase(it);
    }
    if (!columns.empty()) {
      throw FullCompactionRefused(tname + " has long values in a column without usage maps");
    }

    for (size_t i = 0; i < t.physical.size(); ++i) {
      std::vector<uint32_t> tree = WriteIndex(t, i, moved, out, off.root[i]);
      RequestMap(ti, t.physical[i].map, off.index_map[i], tree, "index usage map");
    }
  }

  // --- indexes -------------------------------------------------------------------------------

  // Pages of physical index i, rebuilt from its leaf entries under the new row pointers.
  std::vector<uint32_t> WriteIndex(const TableDef& t, size_t i,
                                   const std::vector<std::pair<uint32_t, uint32_t>>& moved,
                                   TableOut& out, uint32_t root_field) {
    IndexTree tree = ReadIndexTree(db_, t, i);
    const PhysicalIndex& p = t.physical[i];
    std::vector<std::string> entries;
    entries.reserve(tree.entries.size());
    const std::vector<size_t> holders = HolderColumns(t, out.name);
    for (const IndexEntry& e : tree.entries) {
      auto it = std::lower_bound(moved.begin(), moved.end(), std::make_pair(e.row.Packed(), 0u));
      if (it == moved.end() || it->first != e.row.Packed()) {
        db_.Fail(e.leaf, "index " + std::to_string(i) + " points at " + Describe(e.row) +
                             ", not a live row");
      }
      entries.push_back(RenumberedKey(t, holders, p, e.key) +
                        RowPointerBe(RowPointer::FromLe(it->second)));
    }
    std::sort(entries.begin(), entries.end());
    for (size_t k = 1; k < entries.size(); ++k) {
      if (entries[k] == entries[k - 1]) db_.Fail(t.page, "index with a duplicate entry");
    }
    const size_t area = std::min<size_t>(ps_ - l_.idx_first_entry, 8 * l_.idx_mask_len - 1);
    const size_t max_prefix = l_.jet3 ? 0xFF : 0xFFFF;

    // Leaves: as many entries as fit, sharing the prefix of the first and last key.
    std::vector<std::pair<size_t, size_t>> groups;  // [first, end) per leaf
    for (size_t k = 0; k < entries.size();) {
      size_t end = k, sum = 0, shortest = SIZE_MAX;
      while (end < entries.size()) {
        size_t s = sum + entries[end].size();
        size_t key = std::min(shortest, entries[end].size() - 4);
        size_t prefix = 0;
        const std::string& a = entries[k];
        const std::string& b = entries[end];
        while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
        prefix = std::min({prefix, key, max_prefix});
        if (s - (end - k) * prefix > area) break;
        sum = s;
        shortest = key;
        ++end;
      }
      if (end == k)
        db_.Fail(tree.leaves.empty() ? t.page : tree.leaves.front(), "index entry too long");
      groups.push_back({k, end});
      k = end;
    }
    if (groups.empty()) groups.push_back({0, 0});
    std::vector<uint32_t> pages;
    std::vector<uint32_t> level;
    std::vector<std::string> last;  // per page of the level: its last entry
    for (size_t g = 0; g < groups.size(); ++g) level.push_back(Allocate());
    for (size_t g = 0; g < groups.size(); ++g) {
      IndexPage ip;
      ip.leaf = true;
      ip.owner = out.id;
      ip.prev = g > 0 ? level[g - 1] : 0;
      ip.next = g + 1 < groups.size() ? level[g + 1] : 0;
      ip.entries.assign(entries.begin() + groups[g].first, entries.begin() + groups[g].second);
      last.push_back(ip.entries.empty() ? std::string() : ip.entries.back());
      Image& img = NewImage(level[g], kPageIndexLeaf);
      if (!EncodeIndexPage(l_, ip, img.data())) db_.Fail(level[g], "index leaf does not fit");
      Flush(level[g]);  // leaves are final: their siblings are known
    }
    pages.insert(pages.end(), level.begin(), level.end());
    bool leaf_level = true;
    std::vector<uint32_t> nodes;  // held until the level above has named their siblings

    // Nodes, bottom up: each names all children but the last in entries, the last as its tail.
    while (level.size() > 1) {
      std::vector<std::pair<size_t, size_t>> parents;
      for (size_t k = 0; k < level.size();) {
        size_t end = k + 1, sum = 0;
        while (end < level.size() && sum + last[end - 1].size() + 4 <= area) {
          sum += last[end - 1].size() + 4;
          ++end;
        }
        if (end - k < 2 && end < level.size()) {
          db_.Fail(level[k], "index node entry too long");
        }
        parents.push_back({k, end});
        k = end;
      }
      if (parents.size() > 1 && parents.back().second - parents.back().first < 2) {
        --parents[parents.size() - 2].second;
        --parents.back().first;
      }
      std::vector<uint32_t> up;
      std::vector<std::string> up_last;
      for (size_t g = 0; g < parents.size(); ++g) up.push_back(Allocate());
      for (size_t g = 0; g < parents.size(); ++g) {
        IndexPage ip;
        ip.leaf = false;
        ip.owner = out.id;
        // Nodes link only to siblings under the same parent; that is decided one level up.
        ip.prev = 0;
        ip.next = 0;
        const auto [first, end] = parents[g];
        for (size_t c = first; c + 1 < end; ++c) ip.entries.push_back(last[c] + PageBe(level[c]));
        ip.tail = level[end - 1];
        up_last.push_back(last[end - 1]);
        Image& img = NewImage(up[g], kPageIndexNode);
        if (!EncodeIndexPage(l_, ip, img.data())) db_.Fail(up[g], "index node does not fit");
      }
      // Siblings of the children of each new node.
      for (const auto& [first, end] : parents) {
        for (size_t c = first; c < end && level.size() > 1 && !leaf_level; ++c) {
          Image& img = held_.at(level[c]);
          Store32(img.data() + l_.idx_prev, c > first ? level[c - 1] : 0);
          Store32(img.data() + l_.idx_next, c + 1 < end ? level[c + 1] : 0);
        }
      }
      pages.insert(pages.end(), up.begin(), up.end());
      nodes.insert(nodes.end(), up.begin(), up.end());
      leaf_level = false;
      level = std::move(up);
      last = std::move(up_last);
    }
    for (uint32_t n : nodes) Flush(n);
    out.page_fields.push_back({root_field, level.front()});
    index_pages_ += static_cast<uint32_t>(pages.size());
    std::sort(pages.begin(), pages.end());
    return pages;
  }

  // --- table definitions and maps ------------------------------------------------------------

  struct Offsets {
    std::vector<uint32_t> index_map, root;  // per physical index
    std::vector<uint32_t> long_value;       // per trailer entry: owned map, free map at +4
  };

  Offsets DefinitionOffsets(const TableDef& t) const {
    ByteView v(t.bytes.data(), t.tdef_len, &db_.FileName(), t.page, "table definition");
    Offsets o;
    size_t pos = l_.tdef_var_start + static_cast<size_t>(t.num_real_idx) * l_.count_block +
                 static_cast<size_t>(t.num_cols) * l_.column_desc;
    auto names = [&](size_t n) {
      while (n-- > 0)
        pos += l_.jet3 ? 1u + v.U8(pos, "name length") : 2u + v.U16(pos, "name length");
    };
    names(t.num_cols);
    for (uint32_t i = 0; i < t.num_real_idx; ++i, pos += l_.physical_index) {
      v.Need(pos, l_.physical_index, "physical index");
      o.index_map.push_back(static_cast<uint32_t>(pos + l_.pidx_map));
      o.root.push_back(static_cast<uint32_t>(pos + l_.pidx_root));
    }
    pos += static_cast<size_t>(t.num_idx) * l_.logical_index;
    names(t.num_idx);
    for (size_t m = 0; m < t.long_value_maps.size(); ++m, pos += 10) {
      v.Need(pos, 10, "long-value maps");
      o.long_value.push_back(static_cast<uint32_t>(pos + 2));
    }
    return o;
  }

  void RequestMap(size_t table, RowPointer old, uint32_t field, const std::vector<uint32_t>& pages,
                  const char* what) {
    if (old.IsNull()) {
      if (!pages.empty()) {
        throw FullCompactionRefused("table " + std::to_string(tables_[table].def.page) +
                                    " has pages but no " + what);
      }
      return;
    }
    std::vector<uint32_t> sorted = pages;
    std::sort(sorted.begin(), sorted.end());
    maps_.push_back({table, field, std::move(sorted)});
    old_map_rows_.insert(old.Packed());
  }

  // One map row: inline over a window of the row's size, or a reference row whose slots name
  // bitmap pages, each allocated here.
  Image MapRow(const std::vector<uint32_t>& pages) {
    const size_t len = l_.jet3 ? 133 : 69;
    Image row(len, 0);
    const uint64_t bits = 8ull * (len - 5);
    const uint32_t start = pages.empty() ? 0 : pages.front() & ~7u;
    if (pages.empty() || pages.back() - start < bits) {
      Store32(row.data() + 1, start);
      for (uint32_t p : pages)
        row[5 + (p - start) / 8] |= static_cast<uint8_t>(1u << ((p - start) % 8));
      return row;
    }
    row[0] = 0x01;
    const uint64_t per = l_.bitmap_pages_per_page;
    for (size_t k = 0; k < pages.size();) {
      const uint64_t slot = pages[k] / per;
      if (1 + 4 * (slot + 1) > len) throw FullCompactionRefused("a usage map beyond its slots");
      const uint32_t at = Allocate();
      ++map_pages_;
      Image& img = NewImage(at, kPageUsageBitmap);
      img[2] = img[3] = 0;
      for (; k < pages.size() && pages[k] / per == slot; ++k) {
        const uint64_t b = pages[k] - slot * per;
        img[4 + b / 8] |= static_cast<uint8_t>(1u << (b % 8));
      }
      Flush(at);
      Store32(row.data() + 1 + 4 * slot, at);
    }
    return row;
  }

  // Map rows of all tables share host pages, filled in catalogue order.
  void WriteMaps() {
    std::vector<Image> rows;
    for (const MapRequest& m : maps_) rows.push_back(MapRow(m.pages));
    const size_t capacity = ps_ - l_.data_header;
    size_t k = 0;
    while (k < rows.size()) {
      const uint32_t host = Allocate();
      ++map_pages_;
      size_t used = 0, first = k;
      std::vector<RowImage> images;
      while (k < rows.size() && used + rows[k].size() + 2 <= capacity && images.size() < 255) {
        used += rows[k].size() + 2;
        images.push_back({rows[k].data(), rows[k].size(), 0});
        map_at_.push_back({host, static_cast<uint8_t>(k - first)});
        ++k;
      }
      Image& img = NewImage(host, kPageData);
      if (!LayOutRows(l_, img.data(), images)) db_.Fail(host, "usage maps do not fit");
      Flush(host);
    }
  }

  void WriteDefinitions() {
    for (size_t m = 0; m < maps_.size(); ++m) {
      Store32(tables_[maps_[m].table].def.bytes.data() + maps_[m].field, map_at_[m].Packed());
    }
    for (TableOut& t : tables_) {
      std::vector<uint8_t>& all = t.def.bytes;
      for (const auto& [field, page] : t.page_fields) Store32(all.data() + field, page);
      Store32(all.data() + l_.tdef_num_rows, t.live_rows);
      for (const LogicalIndex& li : t.def.logical) {
        if (li.rel_table != 0)
          Store32(all.data() + li.block + l_.lidx_rel_table, MapTableId(ids_, li.rel_table));
      }
      for (size_t i = 0; i < t.def.chain.size(); ++i) {
        Page p = db_.ReadPage(t.def.chain[i], "table definition");
        Image img(p->begin(), p->end());
        const size_t from = i == 0 ? 0 : ps_ + (i - 1) * (ps_ - 8);
        const size_t at = i == 0 ? 0 : 8;
        const size_t n = std::min(all.size() - std::min(all.size(), from), ps_ - at);
        std::memcpy(img.data() + at, all.data() + from, n);
        Store32(img.data() + 4, i + 1 < t.chain.size() ? t.chain[i + 1] : 0);
        Emit(t.chain[i], img);
      }
    }
  }

  // Page 1 keeps its other rows; the global map gets one bit per position, set when free.
  void WritePageOne() {
    DataPage one = ParseDataPage(db_, 1, "global usage map");
    std::vector<Image> rows;
    for (size_t s = 0; s < one.slots.size(); ++s) {
      const uint8_t* b = one.Row(s);
      rows.emplace_back(b, b + one.slots[s].Length());
    }
    if (rows.empty() || rows[0].size() < 5 || rows[0][0] > 0x01 ||
        (rows[0][0] == 0x00 && Le32(rows[0].data() + 1) != 0)) {
      throw FullCompactionRefused(
          "the global usage map is neither inline from page 0 nor a "
          "reference map");
    }
    for (size_t s = 1; s < rows.size(); ++s) {
      // A table map that lived here now lives on the shared host pages: keep its shape only.
      RowPointer rp{1, static_cast<uint8_t>(s)};
      if (old_map_rows_.count(rp.Packed()) && rows[s].size() >= 5) {
        std::fill(rows[s].begin() + (rows[s][0] == 0x00 ? 5 : 1), rows[s].end(), 0);
      }
    }
    Image& g = rows[0];
    if (g[0] == 0x01) {
      // One bitmap page per range the file reaches; the pages it adds are in the file too.
      const uint64_t per = l_.bitmap_pages_per_page;
      const size_t slots = (g.size() - 1) / 4;
      std::vector<uint32_t> bitmaps;
      while (bitmaps.size() * per < PageCount() + (bitmaps.empty() ? 1 : 0)) {
        if (bitmaps.size() >= slots) throw FullCompactionRefused("the global map has no slot left");
        bitmaps.push_back(Allocate());
        ++map_pages_;
        NewImage(bitmaps.back(), kPageUsageBitmap);
      }
      const uint32_t n = PageCount();
      std::fill(g.begin() + 1, g.end(), 0);
      for (size_t i = 0; i < bitmaps.size(); ++i) {
        Store32(g.data() + 1 + 4 * i, bitmaps[i]);
        Image& img = held_.at(bitmaps[i]);
        for (uint64_t k = 0; k < per; ++k) {
          const uint64_t pos = i * per + k;
          const bool used = pos < n && (pos < 2 || Taken(static_cast<uint32_t>(pos)));
          if (!used) img[4 + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
        }
      }
      for (uint32_t b : bitmaps) Flush(b);
    } else {
      const uint32_t n = PageCount();
      uint64_t bits = 8ull * (g.size() - 5);
      if (bits < n) {
        g.resize(5 + (n + 31) / 32 * 4);  // 32 pages per 4 bytes, as Access sizes it
        bits = 8ull * (g.size() - 5);
      }
      std::fill(g.begin() + 5, g.end(), 0);
      for (uint64_t p = 0; p < bits; ++p) {
        const bool used = p < n && (p < 2 || Taken(static_cast<uint32_t>(p)));
        if (!used) g[5 + p / 8] |= static_cast<uint8_t>(1u << (p % 8));
      }
    }
    Page p = db_.ReadPage(1, "global usage map");
    Image img(p->begin(), p->end());
    std::vector<RowImage> images;
    for (size_t s = 0; s < rows.size(); ++s) {
      images.push_back({rows[s].data(), rows[s].size(), one.slots[s].flags});
    }
    if (!LayOutRows(l_, img.data(), images)) db_.Fail(1, "global usage map no longer fits");
    Emit(1, img);
    Page p0 = db_.ReadPage(0, "header");
    Emit(0, Image(p0->begin(), p0->end()));
  }

  Database& db_;
  const Layout& l_;
  const uint32_t ps_;
  std::vector<bool> fixed_;
  uint32_t cursor_ = 2;
  std::vector<TableOut> tables_;
  TableIdMap ids_;  // tables whose definitions moved
  PageSink* out_ = nullptr;
  std::map<uint32_t, Image> held_;  // output position -> page not yet complete
  std::vector<bool> written_;       // positions put to out_
  Image scratch_;
  std::vector<MapRequest> maps_;
  std::vector<RowPointer> map_at_;  // per request: its new row
  std::unordered_set<uint32_t> old_map_rows_;
  SlotSet values_seen_;  // first rows of the long values moved
  uint64_t rows_ = 0;
  uint32_t data_pages_ = 0, lv_pages_ = 0, index_pages_ = 0, map_pages_ = 0;
};

}  // namespace

uint32_t WriteFullyCompacted(Database& db, PageSink& out, FullCompactStats* stats) {
  if (stats) *stats = FullCompactStats{};
  return FullWriter(db).Run(out, stats);
}

uint32_t WriteFullyCompacted(Database& db, std::ostream& out, FullCompactStats* stats) {
  struct Gathered : PageSink {
    size_t size = 0;
    std::map<uint32_t, std::vector<uint8_t>> pages;
    void Put(uint32_t position, const uint8_t* page) override {
      pages[position].assign(page, page + size);
    }
  } gathered;
  gathered.size = db.PageSize();
  const uint32_t count = WriteFullyCompacted(db, gathered, stats);
  for (const auto& [position, page] : gathered.pages) {
    out.write(reinterpret_cast<const char*>(page.data()),
              static_cast<std::streamsize>(page.size()));
  }
  return count;
}

}  // namespace orvelle::jet
