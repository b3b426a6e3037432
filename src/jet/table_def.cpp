#include "jet/table_def.h"

#include <algorithm>
#include <unordered_set>

#include "jet/values.h"

namespace orvelle::jet {

const Column* TableDef::FindColumn(const std::string& name) const {
  for (const Column& c : columns) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

int TableDef::ColumnIndex(const std::string& name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

const Column* TableDef::ColumnByNumber(uint16_t number) const {
  for (const Column& c : columns) {
    if (c.number == number) return &c;
  }
  return nullptr;
}

namespace {

std::string ReadName(Database& db, const ByteView& v, size_t& pos) {
  if (db.GetLayout().jet3) {
    uint8_t len = v.U8(pos, "name length");
    std::string raw = v.Str(pos + 1, len, "name");
    pos += 1 + len;
    return CodePageToUtf8(raw, db.GetHeader().code_page);
  }
  uint16_t len = v.U16(pos, "name length");
  std::string raw = v.Str(pos + 2, len, "name");
  if (len % 2) v.Fail("name length " + std::to_string(len) + " at " + Hex(pos) + " is odd");
  pos += 2 + len;
  return Utf16ToUtf8(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

}  // namespace

TableDef ReadTableDef(Database& db, uint32_t pn) {
  const Layout& l = db.GetLayout();
  TableDef t;
  t.page = pn;
  std::unordered_set<uint32_t> seen;
  uint32_t cur = pn;
  while (cur != 0) {
    if (!seen.insert(cur).second) {
      db.Fail(pn, "table definition: continuation chain loops back to page " + std::to_string(cur));
    }
    Page p = db.ReadPage(cur, "table definition");
    ByteView v = db.View(p, cur, "table definition");
    if (v.U8(0, "type") != kPageTableDef) {
      v.Fail("page type " + Hex(v.U8(0, "type")) + ", expected 0x02");
    }
    t.chain.push_back(cur);
    if (t.bytes.empty()) {
      t.bytes.assign(p->begin(), p->end());
      t.tdef_len = v.U32(0x08, "tdef_len");
    } else {
      t.bytes.insert(t.bytes.end(), p->begin() + 8, p->end());
    }
    cur = v.U32(0x04, "next page");
    // The chain needs no more pages than tdef_len requires.
    if (cur != 0 && t.bytes.size() >= t.tdef_len) {
      v.Fail("next page " + std::to_string(cur) + " after the definition's end (tdef_len " +
             std::to_string(t.tdef_len) + ")");
    }
  }
  ByteView v(t.bytes.data(), t.bytes.size(), &db.FileName(), pn, "table definition");
  if (t.tdef_len > t.bytes.size()) {
    v.Fail("tdef_len " + std::to_string(t.tdef_len) + " beyond the " +
           std::to_string(t.chain.size()) + "-page chain (" + std::to_string(t.bytes.size()) +
           " bytes)");
  }
  // Reads below stop at tdef_len, not at the page chain's end.
  v = ByteView(t.bytes.data(), t.tdef_len, &db.FileName(), pn, "table definition");
  t.num_rows = v.U32(l.tdef_num_rows, "num_rows");
  t.table_type = v.U8(l.tdef_table_type, "table type");
  t.max_cols = v.U16(l.tdef_max_cols, "max_cols");
  t.num_var_cols = v.U16(l.tdef_num_var_cols, "num_var_cols");
  t.num_cols = v.U16(l.tdef_num_cols, "num_cols");
  t.num_idx = v.U32(l.tdef_num_idx, "num_idx");
  t.num_real_idx = v.U32(l.tdef_num_real_idx, "num_real_idx");
  t.owned_map = RowPointer::FromLe(v.U32(l.tdef_owned_map, "owned map"));
  t.free_map = RowPointer::FromLe(v.U32(l.tdef_free_map, "free map"));
  size_t pos = l.tdef_var_start;
  auto need_blocks = [&](uint64_t count, uint64_t size, const char* what) {
    if (count * size > v.Size() - std::min<size_t>(pos, v.Size())) {
      v.Fail(std::to_string(count) + " " + what + " at " + Hex(pos) + " beyond tdef_len " +
             Hex(t.tdef_len));
    }
  };
  need_blocks(t.num_real_idx, l.count_block, "index count blocks");
  for (uint32_t i = 0; i < t.num_real_idx; ++i) {
    PhysicalIndex pi;
    pi.unique_count = v.U32(pos + 4, "unique count");
    pi.count_block = pos;
    t.physical.push_back(pi);
    pos += l.count_block;
  }
  need_blocks(t.num_cols, l.column_desc, "column descriptors");
  for (uint16_t i = 0; i < t.num_cols; ++i) {
    Column c;
    c.block = pos;
    c.type = v.U8(pos + l.col_type, "column type");
    c.number = v.U16(pos + l.col_number, "column number");
    c.var_index = v.U16(pos + l.col_var_index, "column variable index");
    c.flags = v.U8(pos + l.col_flags, "column flags");
    if (!l.jet3) c.extended_flags = v.U8(pos + l.col_flags + 1, "column extended flags");
    c.fixed_offset = v.U16(pos + l.col_fixed_offset, "column fixed offset");
    c.length = v.U16(pos + l.col_length, "column length");
    if (c.number >= t.max_cols) {
      v.Fail("column " + std::to_string(i) + " number " + std::to_string(c.number) +
             " not below max_cols " + std::to_string(t.max_cols));
    }
    t.columns.push_back(c);
    pos += l.column_desc;
  }
  t.column_names = pos;
  for (Column& c : t.columns) c.name = ReadName(db, v, pos);
  for (uint32_t i = 0; i < t.num_real_idx; ++i) {
    PhysicalIndex& pi = t.physical[i];
    pi.block = pos;
    for (int k = 0; k < 10; ++k) {
      uint16_t col = v.U16(pos + l.pidx_columns + 3 * k, "index column");
      uint8_t order = v.U8(pos + l.pidx_columns + 3 * k + 2, "index column order");
      if (col == 0xFFFF) continue;
      if (!t.ColumnByNumber(col)) {
        v.Fail("index " + std::to_string(i) + " names column number " + std::to_string(col) +
               " that the table does not have");
      }
      pi.columns.push_back(col);
      pi.ascending.push_back(order == 0x01);
    }
    pi.map = RowPointer::FromLe(v.U32(pos + l.pidx_map, "index usage map"));
    pi.root = v.U32(pos + l.pidx_root, "index root");
    pi.flags = v.U8(pos + l.pidx_flags, "index flags");
    pos += l.physical_index;
  }
  need_blocks(t.num_idx, l.logical_index, "logical indexes");
  for (uint32_t i = 0; i < t.num_idx; ++i) {
    LogicalIndex li;
    li.block = pos;
    li.number = v.U32(pos + l.lidx_number, "logical index number");
    li.physical = v.U32(pos + l.lidx_physical, "physical index number");
    li.rel_table = v.U32(pos + l.lidx_rel_table, "related table");
    li.kind = v.U8(pos + l.lidx_kind, "index kind");
    if (li.physical >= t.num_real_idx) {
      v.Fail("logical index " + std::to_string(i) + " names physical index " +
             std::to_string(li.physical) + " of " + std::to_string(t.num_real_idx));
    }
    t.logical.push_back(li);
    pos += l.logical_index;
  }
  t.logical_names = pos;
  for (LogicalIndex& li : t.logical) li.name = ReadName(db, v, pos);
  while (true) {
    uint16_t col = v.U16(pos, "long-value map list");
    if (col == 0xFFFF) break;
    LongValueMaps m;
    m.block = pos;
    m.column = col;
    m.owned = RowPointer::FromLe(v.U32(pos + 2, "long-value owned map"));
    m.free = RowPointer::FromLe(v.U32(pos + 6, "long-value free map"));
    t.long_value_maps.push_back(m);
    pos += 10;
  }
  if (pos + 2 != t.tdef_len) {
    v.Fail("definition ends at " + Hex(pos + 2) + ", tdef_len says " + Hex(t.tdef_len));
  }
  return t;
}

}  // namespace orvelle::jet
