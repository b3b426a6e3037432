// The equivalence checker: it accepts a file whose table definitions moved to other pages
// (renumbered tables), and it still catches every kind of change a compactor could make by
// mistake.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "jet/compare.h"
#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/move_table.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

using orvelle::test::ReadBytes;

std::unique_ptr<Database> Open(const std::string& name, const std::string& image) {
  return std::make_unique<Database>(MemorySource(name, image));
}

std::string Joined(const CompareReport& r) {
  std::string s;
  for (const std::string& d : r.differences) s += d + "\n";
  return s;
}

// The first live row of a user table for which pick returns true. pick sees the table and
// the cracked row.
struct FoundRow {
  TableDef table;
  RowPointer header, data;
  uint64_t offset = 0;  // of the row's bytes in the file
  std::vector<uint8_t> bytes;
  CrackedRow cracked;
  bool found = false;
};

FoundRow FindRow(Database& db, bool user_only,
                 const std::function<bool(const TableDef&, const CrackedRow&)>& pick) {
  FoundRow f;
  for (const CatalogEntry& e : db.Catalog()) {
    if (user_only && e.System()) continue;
    TableDef t = ReadTableDef(db, e.id);
    ForEachLiveRow(db, t, [&](const LiveRow& r) {
      if (f.found) return;
      CrackedRow cr = CrackRow(db, t, r);
      if (!pick(t, cr)) return;
      f.found = true;
      f.table = t;
      f.header = r.header;
      f.data = r.data;
      f.offset =
          uint64_t{r.data.page} * db.PageSize() + static_cast<uint64_t>(r.bytes - r.page->data());
      f.bytes.assign(r.bytes, r.bytes + r.size);
      f.cracked = cr;
      // Pointers into the page are turned into offsets into f.bytes.
      for (ColumnData& cd : f.cracked.columns) {
        if (cd.data) cd.data = f.bytes.data() + (cd.data - r.bytes);
      }
    });
    if (f.found) break;
  }
  return f;
}

bool AnyRow(const TableDef&, const CrackedRow&) { return true; }

// A fixed column holding a value that is not a boolean (booleans live in the null mask).
int FixedValueColumn(const TableDef& t, const CrackedRow& cr) {
  for (size_t k = 0; k < t.columns.size(); ++k) {
    const Column& c = t.columns[k];
    if (c.Fixed() && c.type != kBool && cr.columns[k].present && cr.columns[k].size > 0) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

// A long value stored in one LVAL row of its own (kind 0x40).
int SingleLongValueColumn(const TableDef& t, const CrackedRow& cr) {
  for (size_t k = 0; k < t.columns.size(); ++k) {
    const ColumnData& cd = cr.columns[k];
    if (t.columns[k].IsLongValue() && cd.present && cd.size >= 12 &&
        (cd.data[3] & 0xC0) == kLvSingle) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

// First page of the first user table with at least one row, and its definition.
TableDef FirstUserTableWithRows(Database& db) {
  FoundRow f = FindRow(db, true, AnyRow);
  EXPECT_TRUE(f.found);
  return f.table;
}

uint32_t AutoNumberOffset(const Database& db) { return db.GetLayout().jet3 ? 0x10 : 0x14; }

struct Mutation {
  const char* what;
  // Changes image (a copy of the file db reads); false when the file has nothing to change.
  std::function<bool(Database& db, std::string& image)> apply;
  const char* expected;  // part of one reported difference
};

const std::vector<Mutation>& Mutations() {
  static const std::vector<Mutation> m = {
      {"a changed value in a row",
       [](Database& db, std::string& image) {
         FoundRow f = FindRow(db, true, [](const TableDef& t, const CrackedRow& cr) {
           return FixedValueColumn(t, cr) >= 0;
         });
         if (!f.found) return false;
         const ColumnData& cd = f.cracked.columns[FixedValueColumn(f.table, f.cracked)];
         image[f.offset + static_cast<uint64_t>(cd.data - f.bytes.data())] ^= 0x01;
         return true;
       },
       "row contents differ"},
      {"a lost row",
       [](Database& db, std::string& image) {
         FoundRow f = FindRow(db, true, AnyRow);
         if (!f.found) return false;
         // The header slot gets the delete flags; its index entries stay behind.
         image[uint64_t{f.header.page} * db.PageSize() + db.GetLayout().data_header +
               2u * f.header.row + 1] |= static_cast<char>(0xC0);
         return true;
       },
       " rows, "},
      {"a duplicated row",
       [](Database& db, std::string& image) {
         FoundRow f = FindRow(db, true, AnyRow);
         if (!f.found) return false;
         DataPage d = ParseDataPage(db, f.data.page, "data page");
         std::vector<std::vector<uint8_t>> copies;
         for (size_t s = 0; s < d.slots.size(); ++s) {
           copies.emplace_back(d.Row(s), d.Row(s) + d.slots[s].Length());
         }
         copies.push_back(copies[f.data.row]);
         std::vector<RowImage> rows;
         for (size_t s = 0; s < copies.size(); ++s) {
           uint16_t flags = s < d.slots.size() ? d.slots[s].flags : d.slots[f.data.row].flags;
           rows.push_back({copies[s].data(), copies[s].size(), flags});
         }
         uint8_t* page = reinterpret_cast<uint8_t*>(&image[uint64_t{f.data.page} * db.PageSize()]);
         return LayOutRows(db.GetLayout(), page, rows);
       },
       " rows, "},
      {"a changed long value",
       [](Database& db, std::string& image) {
         FoundRow f = FindRow(db, false, [](const TableDef& t, const CrackedRow& cr) {
           return SingleLongValueColumn(t, cr) >= 0;
         });
         if (!f.found) return false;
         const ColumnData& cd = f.cracked.columns[SingleLongValueColumn(f.table, f.cracked)];
         RowPointer lv = RowPointer::FromLe(Le32(cd.data + 4));
         DataPage d = ParseDataPage(db, lv.page, "long value");
         const Slot& s = d.slots.at(lv.row);
         image[uint64_t{lv.page} * db.PageSize() + s.offset + s.Length() / 2] ^= 0x01;
         return true;
       },
       "row contents differ"},
      {"an index entry that reaches another row",
       [](Database& db, std::string& image) {
         for (const CatalogEntry& e : db.Catalog()) {
           TableDef t = ReadTableDef(db, e.id);
           for (size_t i = 0; i < t.physical.size(); ++i) {
             IndexTree tree = ReadIndexTree(db, t, i);
             for (uint32_t leaf : tree.leaves) {
               IndexPage ip = ReadIndexPage(db, leaf);
               if (ip.entries.size() < 2) continue;
               std::string& x = ip.entries[0];
               std::string& y = ip.entries[1];
               // Different keys keep the page sorted with the row pointers swapped.
               if (x.substr(0, x.size() - 4) == y.substr(0, y.size() - 4)) continue;
               std::string rx = x.substr(x.size() - 4), ry = y.substr(y.size() - 4);
               x.replace(x.size() - 4, 4, ry);
               y.replace(y.size() - 4, 4, rx);
               uint8_t* page = reinterpret_cast<uint8_t*>(&image[uint64_t{leaf} * db.PageSize()]);
               return EncodeIndexPage(db.GetLayout(), ip, page);
             }
           }
         }
         return false;
       },
       "entries not in the second file"},
      {"a changed column definition",
       [](Database& db, std::string& image) {
         TableDef t = FirstUserTableWithRows(db);
         const Column& c = t.columns.back();
         size_t at = c.block + db.GetLayout().col_length;
         if (at + 2 > db.PageSize()) return false;
         test::Put16(image, uint64_t{t.page} * db.PageSize() + at, c.length + 2);
         return true;
       },
       "definitions differ in the column"},
      {"a changed AutoNumber seed",
       [](Database& db, std::string& image) {
         TableDef t = FirstUserTableWithRows(db);
         uint64_t at = uint64_t{t.page} * db.PageSize() + AutoNumberOffset(db);
         test::Put32(image, at, Le32(t.bytes.data() + AutoNumberOffset(db)) + 1);
         return true;
       },
       "definitions differ in the AutoNumber seed"},
      {"a changed table type",
       [](Database& db, std::string& image) {
         TableDef t = FirstUserTableWithRows(db);
         image[uint64_t{t.page} * db.PageSize() + db.GetLayout().tdef_table_type] ^= 0x1D;
         return true;
       },
       "definitions differ in the table type"},
  };
  return m;
}

// Every mutation of a copy of path is reported, with the expected text; the unchanged copy
// compares equal.
void ExpectMutationsCaught(const std::string& path) {
  const std::string image = ReadBytes(path);
  auto original = Open("original", image);
  // The original's digests taken ahead, by themselves and by its structural check, on a
  // reader of their own.
  auto reader = Open("original", image);
  SourceDigester from_check(*reader);
  ASSERT_TRUE(CheckDatabase(*reader, from_check).Consistent());
  const std::vector<std::shared_ptr<const SourceDigests>> aheads = {DigestSource(*reader),
                                                                    from_check.Result()};
  ASSERT_TRUE(aheads[0] && aheads[1]);
  {
    auto same = Open("copy", image);
    CompareReport r = CompareDatabases(*original, *same);
    EXPECT_TRUE(r.Equivalent()) << Joined(r);
    for (const auto& ahead : aheads) {
      r = CompareDatabases(*original, *same, TableIdMap{}, ahead.get());
      EXPECT_TRUE(r.Equivalent()) << Joined(r);
    }
  }
  for (const Mutation& m : Mutations()) {
    SCOPED_TRACE(m.what);
    std::string changed = image;
    ASSERT_TRUE(m.apply(*original, changed)) << "the file offers nothing to change";
    auto copy = Open("changed", changed);
    CompareReport r = CompareDatabases(*original, *copy);
    EXPECT_FALSE(r.Equivalent());
    EXPECT_NE(Joined(r).find(m.expected), std::string::npos) << Joined(r);
    // Index entries that read their rows again, as in a table too large to keep its row
    // digests, find the same.
    const size_t cached = compare_cached_rows;
    compare_cached_rows = 0;
    CompareReport reread = CompareDatabases(*original, *copy);
    compare_cached_rows = cached;
    EXPECT_EQ(reread.differences, r.differences);
    // So do digests of the original taken ahead.
    const CompareReport fresh = CompareDatabases(*original, *copy, TableIdMap{});
    for (const auto& ahead : aheads) {
      EXPECT_EQ(CompareDatabases(*original, *copy, TableIdMap{}, ahead.get()).differences,
                fresh.differences);
    }
  }
}

TEST(JetCompare, CatchesEveryChangeInTheDebianSample) {
  std::string path = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(path);
  ExpectMutationsCaught(path);
}

TEST(JetCompare, CatchesEveryChangeInEachFormat) {
  for (const char* name : {"V1997-testV1997.mdb", "V2000-testV2000.mdb", "V2010-testV2010.accdb"}) {
    SCOPED_TRACE(name);
    std::string path = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    ExpectMutationsCaught(path);
  }
}

// A table moved to a new page compares equal with the id mapping taken from the names or
// given; an id left behind anywhere is a difference.
void ExpectRenumberingUnderstood(const std::string& path, bool needs_other_holder) {
  const std::string image = ReadBytes(path);
  auto original = Open("original", image);
  std::string moved_image = image;
  test::MovedTable m = test::MoveLastTableDefinition(moved_image);
  ASSERT_NE(m.old_id, m.new_id);
  auto moved = Open("moved", moved_image);
  CompareReport r = CompareDatabases(*original, *moved);
  EXPECT_TRUE(r.Equivalent()) << Joined(r);
  r = CompareDatabases(*original, *moved, TableIdMap{{m.old_id, m.new_id}});
  EXPECT_TRUE(r.Equivalent()) << Joined(r);

  // A compaction that claims to keep every id.
  r = CompareDatabases(*original, *moved, TableIdMap{});
  EXPECT_EQ(r.differences,
            (std::vector<std::string>{"table \"" + m.name + "\": id " + std::to_string(m.new_id) +
                                      " in the second file, expected " + std::to_string(m.old_id) +
                                      " (" + std::to_string(m.old_id) + " in the first)"}));

  // The catalogue's own index still holds the old id.
  std::string stale_keys = image;
  test::MoveLastTableDefinition(stale_keys, false);
  auto stale = Open("stale keys", stale_keys);
  r = CompareDatabases(*original, *stale);
  EXPECT_NE(Joined(r).find("table \"MSysObjects\": index"), std::string::npos) << Joined(r);

  // A holder row outside the catalogue still holds the old id.
  const test::MovedTable::Holder* other = nullptr;
  for (const auto& h : m.holders) {
    if (h.table != "MSysObjects") other = &h;
  }
  if (!needs_other_holder) return;
  ASSERT_NE(other, nullptr) << "no holder of the moved table's id outside MSysObjects";
  std::string forgotten = moved_image;
  test::Put32(forgotten, other->offset, m.old_id);
  auto partly = Open("forgotten holder", forgotten);
  r = CompareDatabases(*original, *partly);
  EXPECT_NE(Joined(r).find("table \"" + other->table + "\": row contents differ"),
            std::string::npos)
      << Joined(r);
}

TEST(JetCompare, FollowsATableDefinitionToItsNewPage) {
  struct Case {
    const char* name;
    bool other_holder;  // the moved table's id is also held outside MSysObjects
  };
  for (const Case& c :
       {Case{"V1997-testV1997.mdb", true}, Case{"V2000-testV2000.mdb", true},
        Case{"V2007-complexDataTestV2007.accdb", true}, Case{"V2010-testV2010.accdb", true}}) {
    SCOPED_TRACE(c.name);
    std::string path = test::Fixture(c.name);
    ORVELLE_REQUIRE_CORPUS(path);
    ExpectRenumberingUnderstood(path, c.other_holder);
  }
}

TEST(JetCompare, FollowsATableDefinitionToItsNewPageInTheDebianSample) {
  std::string path = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(path);
  ExpectRenumberingUnderstood(path, true);
}

}  // namespace
}  // namespace orvelle::jet
