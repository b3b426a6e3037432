#include "jet/compare.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <type_traits>
#include <unordered_map>

#include "jet/bytes.h"
#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/usage_map.h"

namespace orvelle::jet {

namespace {

uint64_t Mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

uint64_t Rotl(uint64_t x, int r) { return x << r | x >> (64 - r); }

// A 128-bit digest of a byte string.
struct Digest {
  uint64_t a = 0, b = 0;
  bool operator<(const Digest& o) const { return a != o.a ? a < o.a : b < o.b; }
  bool operator==(const Digest& o) const { return a == o.a && b == o.b; }
  bool operator!=(const Digest& o) const { return !(*this == o); }
};

// Digests bytes 32 at a time in four independent lanes (multiply-rotate rounds), folded into
// two avalanched halves at the end; the result depends on the bytes and their count only, not
// on how they were split into calls.
class Hasher {
 public:
  void Add(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    length_ += n;
    if (fill_ > 0) {
      const size_t take = std::min(n, kBlock - fill_);
      std::memcpy(buffer_ + fill_, p, take);
      fill_ += take;
      p += take;
      n -= take;
      if (fill_ < kBlock) return;
      Block(buffer_);
      fill_ = 0;
    }
    for (; n >= kBlock; p += kBlock, n -= kBlock) Block(p);
    std::memcpy(buffer_, p, n);
    fill_ = n;
  }
  void Add(const std::string& s) { Add(s.data(), s.size()); }
  void Add(const Digest& d) {
    uint64_t w[2] = {d.a, d.b};
    Add(w, sizeof w);
  }
  Digest Finish() const {
    Hasher h = *this;
    if (h.fill_ > 0) {
      std::memset(h.buffer_ + h.fill_, 0, kBlock - h.fill_);
      h.Block(h.buffer_);
    }
    const uint64_t* v = h.v_;
    Digest d;
    d.a = Mix64(Rotl(v[0], 1) + Rotl(v[1], 7) + Rotl(v[2], 12) + Rotl(v[3], 18) + length_ * kP5);
    d.b = Mix64((v[0] ^ Rotl(v[1], 31)) * kP3 + (v[2] ^ Rotl(v[3], 17)) * kP2 + length_ + d.a);
    return d;
  }

 private:
  static constexpr size_t kBlock = 32;
  static constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull, kP2 = 0xC2B2AE3D27D4EB4Full,
                            kP3 = 0x165667B19E3779F9ull, kP5 = 0x27D4EB2F165667C5ull;
  void Block(const uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
      uint64_t w;
      std::memcpy(&w, p + 8 * i, 8);
      v_[i] = Rotl(v_[i] + w * kP2, 31) * kP1;
    }
  }
  uint64_t v_[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  uint8_t buffer_[kBlock] = {};
  size_t fill_ = 0;
  uint64_t length_ = 0;
};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A definition as compared: the bytes up to tdef_len with page pointers and statistics set to
// zero and (first file) foreign-key table ids mapped, and the fields that start where.
struct DefinitionImage {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, std::string>> fields;  // start offset, name; ascending

  void Zero(size_t at, size_t n) {
    for (size_t i = at; i < at + n && i < bytes.size(); ++i) bytes[i] = 0;
  }
  const std::string& FieldAt(size_t at) const {
    auto it = std::upper_bound(
        fields.begin(), fields.end(), at,
        [](size_t v, const std::pair<size_t, std::string>& f) { return v < f.first; });
    return std::prev(it)->second;
  }
};

// The fields are named only when named is set: they are needed only to describe a difference.
DefinitionImage Normalise(const Layout& l, const TableDef& t, const TableIdMap* ids,
                          bool named = false) {
  DefinitionImage d;
  d.bytes.assign(t.bytes.begin(), t.bytes.begin() + t.tdef_len);
  // name: the text, or a function that makes it.
  auto field = [&](size_t at, const auto& name) {
    if (!named) return;
    if constexpr (std::is_invocable_v<decltype(name)>) {
      d.fields.emplace_back(at, name());
    } else {
      d.fields.emplace_back(at, name);
    }
  };
  field(0, "page header");
  field(0x08, "definition length");
  if (!l.jet3) {
    field(0x0C, "fixed part");
    field(0x18, "fixed part");
    field(0x1C, "complex AutoNumber seed");
    field(0x20, "fixed part");
  }
  field(l.jet3 ? 0x10 : 0x14, "AutoNumber seed");
  field(l.tdef_num_rows, "row count");
  field(l.tdef_table_type, "table type");
  field(l.tdef_max_cols, "maximum column count");
  field(l.tdef_num_var_cols, "variable column count");
  field(l.tdef_num_cols, "column count");
  field(l.tdef_num_idx, "logical index count");
  field(l.tdef_num_real_idx, "physical index count");
  field(l.tdef_owned_map, "owned-pages map");
  field(l.tdef_free_map, "free-space map");
  d.Zero(2, 6);  // page header: free space (Jet3 "VC") and the continuation page
  d.Zero(l.tdef_num_rows, 4);
  d.Zero(l.tdef_owned_map, 4);
  d.Zero(l.tdef_free_map, 4);
  for (size_t i = 0; i < t.physical.size(); ++i) {
    const PhysicalIndex& p = t.physical[i];
    field(p.count_block, [&] { return "count block of index " + std::to_string(i); });
    d.Zero(p.count_block + 4, 4);  // unique-key count
    field(p.block, [&] { return "index " + std::to_string(i); });
    d.Zero(p.block + l.pidx_map, 4);
    d.Zero(p.block + l.pidx_root, 4);
  }
  for (const Column& c : t.columns) field(c.block, [&] { return "column \"" + c.name + "\""; });
  field(t.column_names, "column names");
  for (const LogicalIndex& li : t.logical) {
    field(li.block, [&] { return "logical index \"" + li.name + "\""; });
    if (ids && li.block + l.lidx_rel_table + 4 <= d.bytes.size()) {
      PutLe32(d.bytes.data() + li.block + l.lidx_rel_table, MapTableId(*ids, li.rel_table));
    }
  }
  field(t.logical_names, "logical index names");
  for (const LongValueMaps& m : t.long_value_maps) {
    field(m.block, "long-value maps");
    d.Zero(m.block + 2, 8);
  }
  field(t.tdef_len - 2, "end of the definition");
  std::stable_sort(d.fields.begin(), d.fields.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  return d;
}

// The first difference between two definitions, or "".
std::string DefinitionDifference(const DefinitionImage& a, const DefinitionImage& b) {
  if (a.bytes.size() != b.bytes.size()) {
    return "definitions differ in length (" + std::to_string(a.bytes.size()) + " and " +
           std::to_string(b.bytes.size()) + " bytes)";
  }
  auto mismatch = std::mismatch(a.bytes.begin(), a.bytes.end(), b.bytes.begin());
  if (mismatch.first == a.bytes.end()) return std::string();
  size_t at = static_cast<size_t>(mismatch.first - a.bytes.begin());
  std::string text = "definitions differ in the " + a.FieldAt(at) + " (byte " + Hex(at) + ")";
  const std::string& name = a.FieldAt(at);
  if (name == "AutoNumber seed" || name == "complex AutoNumber seed") {
    auto start = std::find_if(a.fields.rbegin(), a.fields.rend(), [at](const auto& f) {
                   return f.first <= at;
                 })->first;
    text += ": " + std::to_string(Le32(a.bytes.data() + start)) + ", " +
            std::to_string(Le32(b.bytes.data() + start)) + " in the second file";
  }
  return text;
}

std::string IndexName(const TableDef& t, size_t i) {
  std::string names;
  for (const LogicalIndex& li : t.logical) {
    if (li.physical != i) continue;
    names += (names.empty() ? "" : ", ") + ("\"" + li.name + "\"");
  }
  return "index " + std::to_string(i) + (names.empty() ? "" : " (" + names + ")");
}

// The digest of a live row: its bytes with long-value pointers cleared and ids mapped, and the
// digest of each long value it names.
class RowDigester {
 public:
  RowDigester(Database& db, const TableDef& t, const std::vector<size_t>& holders,
              const TableIdMap* ids)
      : db_(db), t_(t), holders_(holders), ids_(ids && !holders.empty() ? ids : nullptr) {
    has_long_values_ = std::any_of(t.columns.begin(), t.columns.end(),
                                   [](const Column& c) { return c.IsLongValue(); });
  }

  Digest operator()(const LiveRow& r) {
    Hasher d;
    // Without long values or ids to map, the digest is that of the row's bytes as they are.
    if (!has_long_values_ && !ids_) {
      d.Add(r.bytes, r.size);
      return d.Finish();
    }
    CrackRow(db_, t_, r, cracked_);
    bytes_.assign(r.bytes, r.bytes + r.size);
    for (size_t k = 0; k < t_.columns.size(); ++k) {
      const Column& c = t_.columns[k];
      const ColumnData& cd = cracked_.columns[k];
      if (!c.IsLongValue() || !cd.present) continue;
      Hasher value;
      ReadLongValue(
          db_, cd.data, cd.size, r.data.page, c.name,
          [&](const uint8_t* p, size_t n) { value.Add(p, n); }, nullptr);
      size_t at = static_cast<size_t>(cd.data - r.bytes);
      if ((cd.data[3] & 0xC0) != kLvInline)
        std::fill(bytes_.begin() + at + 4, bytes_.begin() + at + 8, 0);
      d.Add(value.Finish());
    }
    if (ids_) {
      for (size_t k : holders_) {
        const ColumnData& cd = cracked_.columns[k];
        if (!cd.present || cd.size != 4) continue;
        size_t at = static_cast<size_t>(cd.data - r.bytes);
        PutLe32(bytes_.data() + at, MapTableId(*ids_, Le32(cd.data)));
      }
    }
    d.Add(bytes_.data(), bytes_.size());
    return d.Finish();
  }

 private:
  Database& db_;
  const TableDef& t_;
  const std::vector<size_t>& holders_;
  const TableIdMap* ids_;
  bool has_long_values_ = false;
  CrackedRow cracked_;          // reused from row to row
  std::vector<uint8_t> bytes_;  // likewise
};

// The key of an index entry with the table ids of holder columns mapped (mapped: the key
// positions of those columns).
std::string MappedKey(const TableDef& t, const PhysicalIndex& p, const std::vector<size_t>& mapped,
                      const TableIdMap* ids, std::string key) {
  for (size_t k : mapped) {
    std::optional<size_t> at = KeySegmentOffset(t, p, k, key);
    std::optional<uint32_t> v = at ? LongKeyValue(key, *at) : std::nullopt;
    if (v) SetLongKeyValue(key, *at, MapTableId(*ids, *v));
  }
  return key;
}

std::vector<size_t> MappedKeyColumns(const TableDef& t, const PhysicalIndex& p,
                                     const std::vector<size_t>& holders, const TableIdMap* ids) {
  std::vector<size_t> mapped;
  for (size_t k = 0; ids && k < p.columns.size(); ++k) {
    for (size_t h : holders) {
      if (t.columns[h].number == p.columns[k]) mapped.push_back(k);
    }
  }
  return mapped;
}

Digest EntryDigest(const std::string& key, const Digest& row) {
  Hasher d;
  d.Add(key);
  d.Add(row);
  return d.Finish();
}

// A multiset of digests held in constant space: each element spread over 128 bits by a
// bijective mix and the two lanes summed modulo 2^64, with the count. Equal multisets give
// equal sums; two different ones collide only by a 128-bit accident, as two different sorted
// lists of the same digests would. Unequal sums prove the multisets differ.
struct MultisetDigest {
  uint64_t a = 0, b = 0, n = 0;
  void Add(const Digest& d) {
    const uint64_t x = Mix64(d.a), y = Mix64(d.b ^ x);
    a += x ^ (y << 1 | y >> 63);
    b += y;
    ++n;
  }
  bool operator==(const MultisetDigest& o) const { return a == o.a && b == o.b && n == o.n; }
  bool operator!=(const MultisetDigest& o) const { return !(*this == o); }
};

struct TableSums {
  MultisetDigest rows;
  std::vector<MultisetDigest> indexes;  // per physical index, of (key, row) digests
  std::vector<std::string> faults;      // index entries that reach no live row
};

}  // namespace

// Memory for the row digests stays bounded as tables grow.
size_t compare_cached_rows = size_t{1} << 18;

struct SourceDigests {
  using Map = std::map<uint32_t, TableSums>;
  Map tables;  // by table id
};

namespace {

// Turns the rows and index trees of t, as they are read, into multiset digests: Row for every
// live row, then Index for each physical index in turn, then Finish. holders are t's
// id-holding columns; ids, when given, maps the table ids they hold (in rows and in index keys)
// before digesting.
class TableSummariser {
 public:
  TableSummariser(Database& db, const TableDef& t, std::vector<size_t> holders,
                  const TableIdMap* ids)
      : db_(db),
        t_(t),
        holders_(std::move(holders)),
        ids_(ids),
        digest_(db, t, holders_, ids),
        cached_(!t.physical.empty()) {}

  void Row(const LiveRow& r) {
    const Digest d = digest_(r);
    sums_.rows.Add(d);
    if (!cached_) return;
    if (cache_.size() >= compare_cached_rows) {
      cached_ = false;
      std::vector<std::pair<uint32_t, Digest>>().swap(cache_);
      return;
    }
    ordered_ = ordered_ && (cache_.empty() || cache_.back().first < r.header.Packed());
    cache_.push_back({r.header.Packed(), d});
  }

  // Index i's entries; the rows are all in.
  void Index(size_t i, const IndexTree& tree) {
    if (!rows_done_) {
      rows_done_ = true;
      if (!ordered_) {
        std::sort(cache_.begin(), cache_.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
      }
      // Without the cache: the data pages a live row can be on.
      if (!cached_) owned_ = ReadUsageMap(db_, t_.owned_map, "table owned-pages map").pages;
    }
    const PhysicalIndex& p = t_.physical[i];
    const std::vector<size_t> mapped = MappedKeyColumns(t_, p, holders_, ids_);
    MultisetDigest entries;
    for (const IndexEntry& e : tree.entries) {
      std::optional<Digest> row = RowAt(e.row);
      if (!row) {
        sums_.faults.push_back(IndexName(t_, i) + " has an entry for " + Describe(e.row) +
                               ", not a live row");
        continue;
      }
      entries.Add(EntryDigest(MappedKey(t_, p, mapped, ids_, e.key), *row));
    }
    sums_.indexes.push_back(entries);
  }

  TableSums Finish() { return std::move(sums_); }

 private:
  std::optional<Digest> RowAt(RowPointer rp) {
    if (cached_) {
      auto it = std::lower_bound(cache_.begin(), cache_.end(), rp.Packed(),
                                 [](const auto& e, uint32_t v) { return e.first < v; });
      if (it == cache_.end() || it->first != rp.Packed()) return std::nullopt;
      return it->second;
    }
    if (!std::binary_search(owned_.begin(), owned_.end(), rp.page)) return std::nullopt;
    DataPage d = ParseDataPage(db_, rp.page, "data page");
    if (rp.row >= d.slots.size() || !d.slots[rp.row].Live()) return std::nullopt;
    return digest_(FollowRow(db_, t_, d, rp.row));
  }

  Database& db_;
  const TableDef& t_;
  const std::vector<size_t> holders_;
  const TableIdMap* ids_;
  RowDigester digest_;
  TableSums sums_;
  std::vector<std::pair<uint32_t, Digest>> cache_;  // header RP -> row digest
  bool cached_;
  bool ordered_ = true;
  bool rows_done_ = false;
  std::vector<uint32_t> owned_;
};

// Reads every row and index of t into multiset digests (see TableSummariser).
TableSums Summarise(Database& db, const TableDef& t, const std::vector<size_t>& holders,
                    const TableIdMap* ids) {
  TableSummariser sums(db, t, holders, ids);
  ForEachLiveRow(db, t, [&](const LiveRow& r) { sums.Row(r); });
  for (size_t i = 0; i < t.physical.size(); ++i) sums.Index(i, ReadIndexTree(db, t, i));
  return sums.Finish();
}

// The sorted digests behind TableSums, to say how many differ: read only when two tables
// differ.
struct TableImage {
  std::vector<Digest> rows;                  // sorted
  std::vector<std::vector<Digest>> indexes;  // per physical index, (key, row) digests sorted
};

TableImage Load(Database& db, const TableDef& t, const std::vector<size_t>& holders,
                const TableIdMap* ids) {
  TableImage img;
  std::unordered_map<uint32_t, Digest> by_row;  // header RP -> row digest
  RowDigester digest(db, t, holders, ids);
  ForEachLiveRow(db, t, [&](const LiveRow& r) {
    const Digest d = digest(r);
    img.rows.push_back(d);
    by_row[r.header.Packed()] = d;
  });
  std::sort(img.rows.begin(), img.rows.end());
  for (size_t i = 0; i < t.physical.size(); ++i) {
    const PhysicalIndex& p = t.physical[i];
    const std::vector<size_t> mapped = MappedKeyColumns(t, p, holders, ids);
    IndexTree tree = ReadIndexTree(db, t, i);
    std::vector<Digest> entries;
    for (const IndexEntry& e : tree.entries) {
      auto it = by_row.find(e.row.Packed());
      if (it == by_row.end()) continue;  // a fault, reported by Summarise
      entries.push_back(EntryDigest(MappedKey(t, p, mapped, ids, e.key), it->second));
    }
    std::sort(entries.begin(), entries.end());
    img.indexes.push_back(std::move(entries));
  }
  return img;
}

// Entries of sorted x missing from sorted y, counted with multiplicity.
size_t Missing(const std::vector<Digest>& x, const std::vector<Digest>& y) {
  std::vector<Digest> out;
  std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(out));
  return out.size();
}

void CompareTable(Database& a, Database& b, const std::string& name, uint32_t id_a, uint32_t id_b,
                  const TableIdMap& ids, const SourceDigests* ahead, CompareReport& r) {
  const std::string what = "table \"" + name + "\"";
  TableDef da = ReadTableDef(a, id_a), db = ReadTableDef(b, id_b);
  const DefinitionImage image_a = Normalise(a.GetLayout(), da, &ids);
  const DefinitionImage image_b = Normalise(b.GetLayout(), db, nullptr);
  std::string def;
  if (image_a.bytes != image_b.bytes) {
    def = DefinitionDifference(Normalise(a.GetLayout(), da, &ids, true), image_b);
  }
  if (!def.empty()) {
    r.differences.push_back(what + ": " + def);
    return;
  }
  const std::vector<size_t> ha = HolderColumns(da, name), hb = HolderColumns(db, name);
  // A table that holds no ids digests the same under any renumbering: taken from ahead.
  auto known =
      ahead && ha.empty() ? ahead->tables.find(id_a) : SourceDigests::Map::const_iterator();
  TableSums sa = ahead && ha.empty() && known != ahead->tables.end() ? known->second
                                                                     : Summarise(a, da, ha, &ids);
  TableSums sb = Summarise(b, db, hb, nullptr);
  const size_t before = r.differences.size();
  for (const std::string& f : sa.faults) r.differences.push_back(what + ": first file: " + f);
  for (const std::string& f : sb.faults) r.differences.push_back(what + ": second file: " + f);
  bool same_indexes = sa.indexes.size() == sb.indexes.size();
  for (size_t i = 0; same_indexes && i < sa.indexes.size(); ++i) {
    same_indexes = sa.indexes[i] == sb.indexes[i];
  }
  if (sa.rows.n != sb.rows.n) {
    r.differences.push_back(what + ": " + std::to_string(sa.rows.n) + " rows, " +
                            std::to_string(sb.rows.n) + " in the second file");
  }
  if ((sa.rows.n == sb.rows.n && sa.rows != sb.rows) || !same_indexes) {
    TableImage ia = Load(a, da, ha, &ids);
    TableImage ib = Load(b, db, hb, nullptr);
    if (sa.rows.n == sb.rows.n && sa.rows != sb.rows) {
      r.differences.push_back(what + ": row contents differ (" +
                              std::to_string(Missing(ia.rows, ib.rows)) + " of " +
                              std::to_string(ia.rows.size()) + " sorted rows)");
    }
    for (size_t i = 0; i < sa.indexes.size() && i < sb.indexes.size(); ++i) {
      if (sa.indexes[i] == sb.indexes[i]) continue;
      const std::vector<Digest>&x = ia.indexes[i], &y = ib.indexes[i];
      r.differences.push_back(what + ": " + IndexName(da, i) + ": " +
                              std::to_string(Missing(x, y)) + " of " + std::to_string(x.size()) +
                              " entries not in the second file, " + std::to_string(Missing(y, x)) +
                              " of " + std::to_string(y.size()) + " not in the first");
    }
  }
  if (r.differences.size() == before) {
    r.matched.push_back(what + ": " + std::to_string(sa.rows.n) + " rows, " +
                        std::to_string(sa.indexes.size()) + " indexes");
  }
}

CompareReport Compare(Database& a, Database& b, const TableIdMap* expected,
                      const SourceDigests* ahead) {
  CompareReport r;
  std::map<std::string, uint32_t> ta, tb;
  for (const CatalogEntry& e : a.Catalog()) ta[e.name] = e.id;
  for (const CatalogEntry& e : b.Catalog()) tb[e.name] = e.id;
  TableIdMap ids;  // from the names
  for (const auto& [name, id] : tb) {
    auto other = ta.find(name);
    if (other == ta.end()) {
      r.differences.push_back("table \"" + name + "\" only in the second file");
    } else if (other->second != id) {
      ids[other->second] = id;
    }
  }
  for (const auto& [name, id] : ta) {
    auto other = tb.find(name);
    if (other == tb.end()) {
      r.differences.push_back("table \"" + name + "\" only in the first file");
      continue;
    }
    if (expected && MapTableId(*expected, id) != other->second) {
      r.differences.push_back("table \"" + name + "\": id " + std::to_string(other->second) +
                              " in the second file, expected " +
                              std::to_string(MapTableId(*expected, id)) + " (" +
                              std::to_string(id) + " in the first)");
    }
    CompareTable(a, b, name, id, other->second, ids, ahead, r);
  }
  return r;
}

}  // namespace

CompareReport CompareDatabases(Database& a, Database& b) { return Compare(a, b, nullptr, nullptr); }

CompareReport CompareDatabases(Database& a, Database& b, const TableIdMap& ids,
                               const SourceDigests* ahead) {
  return Compare(a, b, &ids, ahead);
}

std::shared_ptr<const SourceDigests> DigestSource(Database& a) {
  auto out = std::make_shared<SourceDigests>();
  for (const CatalogEntry& e : a.Catalog()) {
    TableDef t = ReadTableDef(a, e.id);
    if (!HolderColumns(t, e.name).empty()) continue;
    out->tables.emplace(e.id, Summarise(a, t, {}, nullptr));
  }
  return out;
}

struct SourceDigester::Table {
  uint32_t id = 0;
  TableSummariser sums;
};

SourceDigester::SourceDigester(Database& a) : db_(a), out_(std::make_shared<SourceDigests>()) {}

SourceDigester::~SourceDigester() = default;

template <typename F>
void SourceDigester::Guarded(F&& f) {
  if (failed_) return;
  try {
    f();
  } catch (const std::exception&) {
    failed_ = true;
    table_.reset();
  }
}

bool SourceDigester::Begin(const CatalogEntry& e, const TableDef& t) {
  bool wanted = false;
  Guarded([&] {
    if (!HolderColumns(t, e.name).empty()) return;
    table_.reset(new Table{e.id, TableSummariser(db_, t, {}, nullptr)});
    wanted = true;
  });
  return wanted;
}

void SourceDigester::Row(const LiveRow& r) {
  Guarded([&] {
    if (table_) table_->sums.Row(r);
  });
}

void SourceDigester::Index(size_t i, const IndexTree& tree) {
  Guarded([&] {
    if (table_) table_->sums.Index(i, tree);
  });
}

void SourceDigester::End() {
  Guarded([&] {
    if (table_) out_->tables.emplace(table_->id, table_->sums.Finish());
  });
  table_.reset();
}

std::shared_ptr<const SourceDigests> SourceDigester::Result() const {
  return failed_ ? nullptr : out_;
}

}  // namespace orvelle::jet
