// The structural checker over the whole corpus, and the equivalence checker.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "jet/bytes.h"
#include "jet/checker.h"
#include "jet/compare.h"
#include "jet/page_source.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;

struct Expected {
  uint32_t leaked;
  uint32_t reclaimable;
};

// Files the note documents with leaked pages (reachable nowhere, marked used), plus the
// Debian sample whose system tables are damaged (see ExpectedErrors below).
const std::map<std::string, Expected>& Anomalies() {
  static const std::map<std::string, Expected> m = {
      {"V2000-testV2000.mdb", {693, 693}},
      {"V2010-calcFieldTestV2010.accdb", {25, 64}},
      {"V2019-extDateTestV2019.accdb", {2, 32}},
  };
  return m;
}

TEST(JetChecker, AcceptsEveryFixture) {
  std::string dir = orvelle::test::AccessFixturesDir();
  ORVELLE_REQUIRE_CORPUS(dir);
  int checked = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    std::string ext = e.path().extension().string();
    if ((ext != ".mdb" && ext != ".accdb") || name == "debian-fp-units-db-testodbc.mdb") continue;
    SCOPED_TRACE(name);
    auto db = Database::OpenFile(e.path().string());
    CheckReport r = CheckDatabase(*db);
    for (const Finding& f : r.findings) {
      if (name == "V2007-unsupportedFieldsTestV2007.accdb") continue;  // see below
      EXPECT_EQ(f.severity, Severity::kLeak) << f.Describe();
    }
    EXPECT_TRUE(r.Consistent());
    EXPECT_EQ(r.pages_live + r.pages_free + r.pages_leaked, r.page_count);
    auto a = Anomalies().find(name);
    EXPECT_EQ(r.pages_leaked, a == Anomalies().end() ? 0u : a->second.leaked);
    if (a != Anomalies().end()) {
      EXPECT_EQ(r.pages_reclaimable, a->second.reclaimable);
    }
    ++checked;
  }
  EXPECT_GE(checked, 72);  // the corpus of the fixture README
}

TEST(JetChecker, ReportsLeakedPagesWithoutRefusing) {
  std::string path = test::Fixture("V2000-testV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  CheckReport r = CheckDatabase(*db);
  ASSERT_EQ(r.findings.size(), 1u);
  EXPECT_EQ(r.findings[0].Describe(),
            "page 34: 693 pages marked used in the global usage map are not reachable "
            "(leaked), first this one");
  EXPECT_TRUE(r.Consistent());
  EXPECT_EQ(r.pages_live, 50u);
}

// The sample Debian ships with fp-units-db is damaged inside its system tables; user data
// reads fine. Every finding is a real defect of the file (checked by hand on the pages).
TEST(JetChecker, RejectsTheDamagedDebianSample) {
  std::string path = test::Fixture("debian-fp-units-db-testodbc.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  CheckReport r = CheckDatabase(*db);
  std::vector<std::string> got;
  for (const Finding& f : r.findings) got.push_back(f.Describe());
  EXPECT_EQ(got, (std::vector<std::string>{
                     "file length is not a whole number of 2048-byte pages: 1 trailing byte "
                     "ignored",
                     // Slot 16 starts 3 bytes too early: row 17 lost its last 3 bytes.
                     "page 19: data page: row 16: variable offset 0 is 0x6F, outside 0x0..0x69",
                     "page 26: data page: free space 1562, rows leave 1713",
                     "page 10: index page: page type 0x1, expected 0x03 (node) or 0x04 (leaf)",
                     "page 12: table \"MSysRelationships\" index \"szRelationship\" usage map "
                     "at page 12 row 10: row 10 beyond the page's 10 rows",
                     "page 12: table \"MSysRelationships\" index \"szObject\" usage map at page "
                     "12 row 11: row 11 beyond the page's 10 rows",
                     "page 12: table \"MSysRelationships\" index \"szReferencedObject\" usage "
                     "map at page 12 row 12: row 12 beyond the page's 10 rows",
                     // Column 13 of the catalogue's own definition reads 10 (one byte hit),
                     // and its long-value map entry names 10 as well.
                     "page 2: table \"MSysObjects\" definition: column \"Lv\" has the number 10 "
                     "of column \"ForeignName\"",
                     "page 13: 4 pages marked used in the global usage map are not reachable "
                     "(leaked), first this one",
                 }));
  EXPECT_FALSE(r.Consistent());
}

// Columns of unknown variable types are opaque: a page-level copy is safe, but nothing can
// prove they hold no page pointers, so the checker says so without refusing the file.
TEST(JetChecker, WarnsAboutUnknownColumnTypesWithData) {
  std::string path = test::Fixture("V2007-unsupportedFieldsTestV2007.accdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  CheckReport r = CheckDatabase(*db);
  std::vector<std::string> got;
  for (const Finding& f : r.findings) {
    EXPECT_EQ(f.severity, Severity::kWarning);
    got.push_back(f.Describe());
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     "page 143: column \"UnknownVar\" of table definition 65 has the unknown "
                     "type 0x46 and holds data (page 143 row 0); a compactor must not assume it "
                     "pointer-free",
                     "page 142: column \"Value\" of table definition 114 has the unknown type "
                     "0x48 and holds data (page 142 row 0); a compactor must not assume it "
                     "pointer-free",
                 }));
  EXPECT_TRUE(r.Consistent());
}

// Definition fields a compaction carries over without using them must still be consistent.
struct DefinitionEdit {
  const char* what;
  // Changes the definition t in image (a copy of the file db reads).
  std::function<void(const Database& db, const TableDef& t, std::string& image)> apply;
  std::vector<std::string> expected;  // each is part of one finding
};

uint64_t At(const Database& db, const TableDef& t, size_t offset) {
  EXPECT_LT(offset + 4, db.PageSize()) << "field beyond the definition's first page";
  return uint64_t{t.page} * db.PageSize() + offset;
}

const std::vector<DefinitionEdit>& DefinitionEdits() {
  static const std::vector<DefinitionEdit> edits = {
      {"table type and maximum column count overwritten with 0xFF",
       [](const Database& db, const TableDef& t, std::string& image) {
         for (size_t k = 0; k < 3; ++k) {
           image[At(db, t, db.GetLayout().tdef_table_type) + k] = static_cast<char>(0xFF);
         }
       },
       {"definition: table type 0xFF, expected 0x4E (user) or 0x53 (system)",
        "definition: maximum column count 65535 for "}},
      {"no variable columns counted",
       [](const Database& db, const TableDef& t, std::string& image) {
         test::Put16(image, At(db, t, db.GetLayout().tdef_num_var_cols), 0);
       },
       {"not below the variable column count 0"}},
      {"two columns with one number",
       [](const Database& db, const TableDef& t, std::string& image) {
         // A column no index names takes the number of another one.
         for (size_t k = 0; k < t.columns.size(); ++k) {
           bool indexed = false;
           for (const PhysicalIndex& p : t.physical) {
             for (uint16_t n : p.columns) indexed = indexed || n == t.columns[k].number;
           }
           if (indexed) continue;
           test::Put16(image, At(db, t, t.columns[k].block + db.GetLayout().col_number),
                       t.columns[k == 0 ? 1 : 0].number);
           return;
         }
         ADD_FAILURE() << "every column is indexed";
       },
       {"has the number "}},
      {"two variable columns in one slot",
       [](const Database& db, const TableDef& t, std::string& image) {
         const Column* first = nullptr;
         for (const Column& c : t.columns) {
           if (c.Fixed()) continue;
           if (first) {
             test::Put16(image, At(db, t, c.block + db.GetLayout().col_var_index),
                         first->var_index);
             return;
           }
           first = &c;
         }
         ADD_FAILURE() << "the table has fewer than two variable columns";
       },
       {"has the variable index "}},
  };
  return edits;
}

// The first user table with two variable columns in path takes each edit in turn.
void ExpectDefinitionEditsFound(const std::string& path) {
  const std::string image = orvelle::test::ReadBytes(path);
  Database db(MemorySource("original", image));
  TableDef t;
  for (const CatalogEntry& e : db.Catalog()) {
    TableDef d = ReadTableDef(db, e.id);
    size_t variable = 0;
    for (const Column& c : d.columns) variable += c.Fixed() ? 0 : 1;
    if (!e.System() && variable >= 2) {
      t = d;
      break;
    }
  }
  ASSERT_NE(t.page, 0u) << "no user table with two variable columns";
  EXPECT_TRUE(CheckDatabase(db).Consistent());
  for (const DefinitionEdit& edit : DefinitionEdits()) {
    SCOPED_TRACE(edit.what);
    std::string changed = image;
    edit.apply(db, t, changed);
    Database copy(MemorySource("changed", changed));
    CheckReport r = CheckDatabase(copy);
    EXPECT_FALSE(r.Consistent());
    std::string all;
    for (const Finding& f : r.findings) all += f.Describe() + "\n";
    for (const std::string& part : edit.expected) {
      EXPECT_NE(all.find("page " + std::to_string(t.page) + ": table \""), std::string::npos)
          << all;
      EXPECT_NE(all.find(part), std::string::npos) << all;
    }
  }
}

TEST(JetChecker, ChecksDefinitionFieldsInTheDebianSample) {
  std::string path = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(path);
  ExpectDefinitionEditsFound(path);
}

TEST(JetChecker, ChecksDefinitionFieldsInEachFormat) {
  for (const char* name : {"V1997-testV1997.mdb", "V2000-testV2000.mdb", "V2010-testV2010.accdb"}) {
    SCOPED_TRACE(name);
    std::string path = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    ExpectDefinitionEditsFound(path);
  }
}

TEST(JetChecker, ChecksRc4EncodedFiles) {
  for (const char* name : {"db97-enc.mdb", "db-enc.mdb"}) {
    std::string path = test::EncryptedFixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    auto db = Database::OpenFile(path);
    EXPECT_TRUE(CheckDatabase(*db).findings.empty()) << name;
  }
}

TEST(JetCompare, FindsTheSameDataInDifferentLayouts) {
  // The two files hold the same tables; one has a reference-type global map.
  std::string a = test::Fixture("V2000-testV2000.mdb");
  std::string b = test::Fixture("V2000-testRefGlobalV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(a);
  ORVELLE_REQUIRE_CORPUS(b);
  auto da = Database::OpenFile(a), db = Database::OpenFile(b);
  CompareReport r = CompareDatabases(*da, *db);
  EXPECT_TRUE(r.Equivalent());
  EXPECT_EQ(r.matched.size(), 9u);
}

// Each overflow row belongs to one row. A row led to another row's overflow row would show a copy
// of it while its own data went unread, and an overflow row nothing leads to is data only some
// readers show: a full compaction would drop it. Both are errors, so no compaction runs.
TEST(JetChecker, EachOverflowRowBelongsToOneRow) {
  int through_files = 0, orphan_files = 0;
  for (const char* name : {"V1997-overflowTestV1997.mdb", "V2000-overflowTestV2000.mdb",
                           "V2007-overflowTestV2007.accdb", "V2010-overflowTestV2010.accdb"}) {
    SCOPED_TRACE(name);
    const std::string path = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    const std::string original = orvelle::test::ReadBytes(path);
    Database db(MemorySource(name, original));
    if (db.GetHeader().encoded()) continue;  // the bytes below are changed as stored
    struct Header {
      RowPointer at, target;
      uint32_t table;
      uint64_t pointer, slot;  // file offsets of its pointer and its slot entry
    };
    std::vector<Header> headers;
    for (uint32_t pn = 2; pn < db.PageCount(); ++pn) {
      if ((*db.ReadPage(pn, "page"))[0] != kPageData) continue;
      const DataPage d = ParseDataPage(db, pn, "data page");
      for (size_t s = 0; s < d.slots.size(); ++s) {
        if (!d.slots[s].OverflowHeader() || d.slots[s].Length() < 4) continue;
        const uint64_t page_at = uint64_t{pn} * db.PageSize();
        headers.push_back({{pn, static_cast<uint8_t>(s)},
                           RowPointer::FromLe(Le32(d.Row(s))),
                           d.owner,
                           page_at + d.slots[s].offset,
                           page_at + db.GetLayout().data_header + 2 * s});
      }
    }
    auto errors = [&](const std::string& bytes) {
      Database changed(MemorySource(name, bytes));
      std::vector<std::string> out;
      for (const Finding& f : CheckDatabase(changed).findings) {
        if (f.severity == Severity::kError) out.push_back(f.text);
      }
      return out;
    };
    ASSERT_TRUE(errors(original).empty());

    // A header led through another header of its table to that one's data.
    for (size_t i = 0; i + 1 < headers.size(); ++i) {
      const Header &first = headers[i], &second = headers[i + 1];
      if (first.table != second.table) continue;
      std::string through = original;
      test::Put32(through, first.pointer, second.at.Packed());
      const std::vector<std::string> twice = errors(through);
      ASSERT_FALSE(twice.empty());
      EXPECT_NE(twice[0].find("which " + Describe(first.at) + " leads to too"), std::string::npos)
          << ::testing::PrintToString(twice);
      ++through_files;
      break;
    }

    // A row of a table without indexes deleted, its overflow row left as it was.
    for (const Header& h : headers) {
      if (!ReadTableDef(db, h.table).physical.empty()) continue;
      std::string orphan = original;
      orphan[h.slot + 1] = static_cast<char>(orphan[h.slot + 1] | 0xC0);
      const std::vector<std::string> unread = errors(orphan);
      ASSERT_FALSE(unread.empty());
      EXPECT_NE(unread[0].find("overflow row " + Describe(h.target) + " reached from no row"),
                std::string::npos)
          << ::testing::PrintToString(unread);
      ++orphan_files;
      break;
    }
  }
  EXPECT_GE(through_files, 2);
  EXPECT_GE(orphan_files, 1);
}

TEST(JetCompare, ReportsMissingTablesAndChangedRows) {
  std::string a = test::Fixture("V2010-delTestV2010.accdb");
  std::string b = test::Fixture("V2010-overflowTestV2010.accdb");
  ORVELLE_REQUIRE_CORPUS(a);
  ORVELLE_REQUIRE_CORPUS(b);
  {
    auto da = Database::OpenFile(a), db = Database::OpenFile(b);
    CompareReport r = CompareDatabases(*da, *db);
    ASSERT_FALSE(r.Equivalent());
    EXPECT_EQ(r.differences.front(), "table \"Table1\" only in the second file");
  }
  // The row ("v", "u") stores its two values as UCS-2 "v" "u": make the second "w".
  std::string bytes = orvelle::test::ReadBytes(a);
  auto original = Database::OpenFile(a);
  size_t at = bytes.find(std::string("\x02\x00v\x00u\x00", 6));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 4] = 'w';
  Database changed(MemorySource("changed.accdb", bytes));
  CompareReport r = CompareDatabases(*original, changed);
  EXPECT_EQ(
      r.differences,
      (std::vector<std::string>{"table \"Table\": row contents differ (1 of 2 sorted rows)"}));
}

}  // namespace
}  // namespace orvelle::jet
