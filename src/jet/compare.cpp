#include "jet/compare.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"

namespace orvelle::jet {

namespace {

// 128-bit digest from two independent 64-bit FNV-1a streams.
struct Digest {
  uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
  void Add(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
      a = (a ^ p[i]) * 0x100000001b3ull;
      b = (b ^ p[i]) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
    }
  }
  void Add(const std::string& s) { Add(s.data(), s.size()); }
  void AddU64(uint64_t v) { Add(&v, sizeof v); }
  bool operator<(const Digest& o) const { return a != o.a ? a < o.a : b < o.b; }
  bool operator==(const Digest& o) const { return a == o.a && b == o.b; }
};

// Structure of a definition with every page pointer left out.
std::string Shape(const TableDef& t) {
  std::string s = "type " + std::to_string(t.table_type) + " max_cols " +
                  std::to_string(t.max_cols) + " var " + std::to_string(t.num_var_cols) + ";";
  for (const Column& c : t.columns) {
    s += c.name + ":" + std::to_string(c.type) + "/" + std::to_string(c.number) + "/" +
         std::to_string(c.var_index) + "/" + std::to_string(c.flags) + "/" +
         std::to_string(c.extended_flags) + "/" + std::to_string(c.fixed_offset) + "/" +
         std::to_string(c.length) + ";";
  }
  for (const PhysicalIndex& p : t.physical) {
    s += "idx";
    for (size_t k = 0; k < p.columns.size(); ++k) {
      s += " " + std::to_string(p.columns[k]) + (p.ascending[k] ? "a" : "d");
    }
    s += " f" + std::to_string(p.flags) + ";";
  }
  for (const LogicalIndex& l : t.logical) {
    s += l.name + "->" + std::to_string(l.physical) + " k" + std::to_string(l.kind) + ";";
  }
  return s;
}

struct TableImage {
  std::vector<Digest> rows;                     // sorted
  std::unordered_map<uint32_t, Digest> by_row;  // header RP -> row digest
  std::vector<std::vector<Digest>> indexes;     // per physical index, in order
};

TableImage Load(Database& db, const TableDef& t) {
  TableImage img;
  ForEachLiveRow(db, t, [&](const LiveRow& r) {
    CrackedRow cr = CrackRow(db, t, r);
    std::string bytes(reinterpret_cast<const char*>(r.bytes), r.size);
    Digest d;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const Column& c = t.columns[k];
      const ColumnData& cd = cr.columns[k];
      if (!c.IsLongValue() || !cd.present) continue;
      Digest value;
      ReadLongValue(
          db, cd.data, cd.size, r.data.page, c.name,
          [&](const uint8_t* p, size_t n) { value.Add(p, n); }, nullptr);
      size_t at = static_cast<size_t>(cd.data - r.bytes);
      if ((cd.data[3] & 0xC0) != kLvInline)
        std::fill(bytes.begin() + at + 4, bytes.begin() + at + 8, 0);
      d.AddU64(value.a);
      d.AddU64(value.b);
    }
    d.Add(bytes);
    img.rows.push_back(d);
    img.by_row[r.header.Packed()] = d;
  });
  std::sort(img.rows.begin(), img.rows.end());
  for (size_t i = 0; i < t.physical.size(); ++i) {
    IndexTree tree = ReadIndexTree(db, t, i);
    std::vector<Digest> seq;
    for (const IndexEntry& e : tree.entries) {
      Digest d;
      d.Add(e.key);
      auto it = img.by_row.find(e.row.Packed());
      if (it == img.by_row.end()) {
        db.Fail(e.row.page, "index of table definition " + std::to_string(t.page) + " points at " +
                                Describe(e.row) + ", not a live row");
      }
      d.AddU64(it->second.a);
      d.AddU64(it->second.b);
      seq.push_back(d);
    }
    img.indexes.push_back(std::move(seq));
  }
  return img;
}

}  // namespace

CompareReport CompareDatabases(Database& a, Database& b) {
  CompareReport r;
  std::map<std::string, uint32_t> ta, tb;
  for (const CatalogEntry& e : a.Catalog()) ta[e.name] = e.id;
  for (const CatalogEntry& e : b.Catalog()) tb[e.name] = e.id;
  for (const auto& [name, id] : tb) {
    if (!ta.count(name)) r.differences.push_back("table \"" + name + "\" only in the second file");
  }
  for (const auto& [name, id] : ta) {
    auto other = tb.find(name);
    std::string what = "table \"" + name + "\"";
    if (other == tb.end()) {
      r.differences.push_back(what + " only in the first file");
      continue;
    }
    TableDef da = ReadTableDef(a, id), db = ReadTableDef(b, other->second);
    if (Shape(da) != Shape(db)) {
      r.differences.push_back(what + ": definitions differ");
      continue;
    }
    TableImage ia = Load(a, da), ib = Load(b, db);
    size_t before = r.differences.size();
    if (ia.rows.size() != ib.rows.size()) {
      r.differences.push_back(what + ": " + std::to_string(ia.rows.size()) + " rows, " +
                              std::to_string(ib.rows.size()) + " in the second file");
    } else if (ia.rows != ib.rows) {
      size_t diff = 0;
      for (size_t k = 0; k < ia.rows.size(); ++k) diff += ia.rows[k] == ib.rows[k] ? 0 : 1;
      r.differences.push_back(what + ": row contents differ (" + std::to_string(diff) + " of " +
                              std::to_string(ia.rows.size()) + " sorted rows)");
    }
    for (size_t i = 0; i < ia.indexes.size(); ++i) {
      if (ia.indexes[i] == ib.indexes[i]) continue;
      size_t k = 0;
      while (k < ia.indexes[i].size() && k < ib.indexes[i].size() &&
             ia.indexes[i][k] == ib.indexes[i][k]) {
        ++k;
      }
      r.differences.push_back(what + ": index " + std::to_string(i) + " differs from entry " +
                              std::to_string(k) + " (" + std::to_string(ia.indexes[i].size()) +
                              " and " + std::to_string(ib.indexes[i].size()) + " entries)");
    }
    if (r.differences.size() == before) {
      r.matched.push_back(what + ": " + std::to_string(ia.rows.size()) + " rows, " +
                          std::to_string(ia.indexes.size()) + " indexes");
    }
  }
  return r;
}

}  // namespace orvelle::jet
