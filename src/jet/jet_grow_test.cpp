// The database grower (orvelle-jet-grow): a few megabytes of copied rows pass the structural
// checker, read in both readers with the expected rows, keep their long values, survive the row
// deleter, and compact with verification. The large sizes are for the benchmark only.
#include "jet/testtools/grow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compare.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/delete_rows.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "jet/usage_map.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;

TableDef Table(Database& db, const std::string& name) {
  for (const CatalogEntry& e : db.Catalog()) {
    if (e.name == name) return ReadTableDef(db, e.id);
  }
  throw std::runtime_error("no table " + name);
}

void ExpectConsistent(Database& db) {
  CheckReport check = CheckDatabase(db);
  for (const Finding& f : check.findings) {
    EXPECT_NE(f.severity, Severity::kError) << f.Describe();
  }
  EXPECT_EQ(check.pages_leaked, 0u);
}

void ExpectCompacts(const std::string& file) {
  ScopedTempDir tmp;
  const std::string out = tmp.Sub("compacted");
  ASSERT_NO_THROW(CompactDatabase(file, out));
  auto a = Database::OpenFile(file), b = Database::OpenFile(out);
  CompareReport same = CompareDatabases(*a, *b);
  EXPECT_TRUE(same.Equivalent()) << (same.differences.empty() ? "" : same.differences.front());
}

// Each row of `grown` (canonical) is one of the input's rows, and each input row appears the
// same number of times.
void ExpectCopies(const std::vector<std::string>& input, const std::vector<std::string>& grown,
                  uint64_t expected_rows) {
  ASSERT_EQ(grown.size(), expected_rows);
  std::map<std::string, uint64_t> count;
  for (const std::string& r : grown) ++count[r];
  std::map<std::string, uint64_t> base;
  for (const std::string& r : input) ++base[r];
  ASSERT_EQ(count.size(), base.size());
  const uint64_t copies = expected_rows / input.size();
  for (const auto& [row, n] : base) EXPECT_EQ(count[row], n * copies) << row;
}

TEST(JetGrow, DebianSampleToAFewMegabytesReadsInBothReaders) {
  const std::string in = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(in);
  ScopedTempDir tmp;
  const std::string out = tmp.Sub("grown.mdb");
  test::GrowOptions o;
  o.size = 3 << 20;
  test::GrowReport r = test::GrowToFile(in, out, o);
  EXPECT_EQ(r.table, "Monitor_Authenticate");
  EXPECT_GE(fs::file_size(out), o.size);
  EXPECT_LT(fs::file_size(out), o.size + (2u << 20));  // at most one round more
  EXPECT_EQ(fs::file_size(out), uint64_t{r.pages_after} * 4096);
  const uint64_t rows = r.rows_before + r.rows_added;
  EXPECT_GT(r.rows_added, 10000u);

  auto a = Database::OpenFile(in), b = Database::OpenFile(out);
  ExpectConsistent(*b);
  TableDef t = Table(*b, r.table);
  EXPECT_EQ(t.num_rows, rows);
  // Too many pages for the inline rows: both maps became reference maps.
  EXPECT_TRUE(ReadGlobalMap(*b).reference);
  UsageMap owned = ReadUsageMap(*b, t.owned_map, "owned");
  EXPECT_TRUE(owned.reference);
  EXPECT_GT(owned.pages.size(), 700u);

  test::TableDump own_in = test::OwnDump(*a, r.table);
  const std::vector<std::string> input = test::Canonical(own_in, own_in);
  ExpectCopies(input, test::Canonical(own_in, test::OwnDump(*b, r.table)), rows);
  std::string why;
  if (test::MdbToolsAvailable(&why)) {
    ExpectCopies(input, test::Canonical(own_in, test::MdbExportDump(out, r.table)), rows);
  }
  if (test::MdbReaderAvailable(&why)) {
    ExpectCopies(input, test::Canonical(own_in, test::MdbReaderDump(out, r.table)), rows);
  }
  // Every other table reads as before.
  CompareReport same = CompareDatabases(*a, *b);
  ASSERT_EQ(same.differences.size(), 1u);
  EXPECT_EQ(same.differences[0].rfind("table \"Monitor_Authenticate\": 1 rows, ", 0), 0u);
  ExpectCompacts(out);
}

// What full compaction will be tested with: a grown file with half its rows deleted.
TEST(JetGrow, GrownFileTakesTheDeleterAndTheCompactor) {
  const std::string in = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(in);
  ScopedTempDir tmp;
  test::GrowOptions o;
  o.size = 2 << 20;
  test::GrowReport g = test::GrowToFile(in, tmp.Sub("grown.mdb"), o);
  test::DeleteOptions d;
  d.share = 0.5;
  test::DeleteReport r = test::DeleteRowsToFile(tmp.Sub("grown.mdb"), tmp.Sub("deleted.mdb"), d);
  ASSERT_EQ(r.tables.size(), 1u);
  EXPECT_EQ(r.tables[0].rows_before, g.rows_before + g.rows_added);
  auto db = Database::OpenFile(tmp.Sub("deleted.mdb"));
  ExpectConsistent(*db);
  EXPECT_EQ(Table(*db, g.table).num_rows, r.tables[0].rows_before - r.tables[0].deleted.size());
  ExpectCompacts(tmp.Sub("deleted.mdb"));
}

// Rows with long values: every copy has its own LVAL rows (single rows packed, chains one chunk
// a page) in the column's owned map, and resolves to the value it was copied from.
TEST(JetGrow, CopiesLongValues) {
  const std::string in = test::Fixture("V2007-complexDataTestV2007.accdb");
  ORVELLE_REQUIRE_CORPUS(in);
  ScopedTempDir tmp;
  const std::string out = tmp.Sub("grown.accdb");
  test::GrowOptions o;
  o.size = 6 << 20;
  o.table = "MSysNameMap";
  test::GrowReport r = test::GrowToFile(in, out, o);
  auto a = Database::OpenFile(in), b = Database::OpenFile(out);
  ExpectConsistent(*b);
  auto values = [](Database& db, const TableDef& t) {
    std::multiset<std::string> v;
    ForEachLiveRow(db, t, [&](const LiveRow& row) {
      CrackedRow cr = CrackRow(db, t, row);
      for (size_t k = 0; k < t.columns.size(); ++k) {
        if (!t.columns[k].IsLongValue() || !cr.columns[k].present) continue;
        std::string value;
        ReadLongValue(
            db, cr.columns[k].data, cr.columns[k].size, row.data.page, t.columns[k].name,
            [&](const uint8_t* p, size_t n) { value.append(reinterpret_cast<const char*>(p), n); },
            nullptr);
        v.insert(t.columns[k].name + "=" + value);
      }
    });
    return v;
  };
  std::multiset<std::string> before = values(*a, Table(*a, o.table));
  std::multiset<std::string> after = values(*b, Table(*b, o.table));
  ASSERT_FALSE(before.empty());
  const uint64_t copies = (r.rows_before + r.rows_added) / r.rows_before;
  EXPECT_EQ(after.size(), before.size() * copies);
  for (const std::string& v : before) EXPECT_EQ(after.count(v), before.count(v) * copies);
  std::string why;
  if (test::MdbToolsAvailable(&why)) {
    EXPECT_EQ(test::MdbExportDump(out, o.table).rows.size(), r.rows_before + r.rows_added);
  }
  if (test::MdbReaderAvailable(&why)) {
    EXPECT_EQ(test::MdbReaderDump(out, o.table).rows.size(), r.rows_before + r.rows_added);
  }
  ExpectCompacts(out);
}

TEST(JetGrow, EveryFixtureWithATableToCopy) {
  std::vector<std::string> files = test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  int grown = 0;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    test::GrowOptions o;
    o.size = fs::file_size(in) + (1 << 20);
    test::GrowReport r;
    try {
      r = test::GrowToFile(in, tmp.Sub(name), o);
    } catch (const JetError& e) {
      // Files whose user tables all have indexes, or no rows.
      EXPECT_NE(std::string(e.what()).find("no user table with rows and without indexes"),
                std::string::npos)
          << e.what();
      continue;
    }
    ++grown;
    {
      auto db = Database::OpenFile(tmp.Sub(name));
      ExpectConsistent(*db);
      EXPECT_EQ(Table(*db, r.table).num_rows, r.rows_before + r.rows_added);
    }  // closed before it is removed: Windows keeps an open file
    ExpectCompacts(tmp.Sub(name));
    fs::remove(tmp.Sub(name));
  }
  EXPECT_GE(grown, 20);
}

TEST(JetGrow, RefusesWhatItCannotGrow) {
  const std::string monitor = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor);
  ScopedTempDir tmp;
  const std::string existing = tmp.Sub("existing.mdb");
  orvelle::test::WriteBytes(existing, "keep me");
  struct Case {
    std::string in, out, table;
    uint64_t size;
    std::string message;
  };
  const Case cases[] = {
      {monitor, existing, "", 1 << 20, existing + ": already exists"},
      {monitor, tmp.Sub("a"), "", 4096, "the database has 110592 bytes already"},
      {monitor, tmp.Sub("b"), "", uint64_t{3} << 30,
       "--size 3221225472 is beyond the format's limit of 2147483648 bytes"},
      {monitor, tmp.Sub("c"), "MSysObjects", 1 << 20,
       "page 2: table \"MSysObjects\" is needed by every reader"},
      {monitor, tmp.Sub("d"), "MSysACEs", 1 << 20, "table \"MSysACEs\" has indexes"},
      {monitor, tmp.Sub("e"), "Nothing", 1 << 20, "no table \"Nothing\" with rows"},
      {test::DebianFixture("testodbc.mdb"), tmp.Sub("f"), "", 1 << 20,
       "the database fails the structural check"},
      {test::Fixture("template-empty2019.accdb"), tmp.Sub("g"), "", 1 << 20,
       "no user table with rows and without indexes or complex columns"},
  };
  for (const Case& c : cases) {
    if (c.in.empty()) continue;  // its sample is absent here
    SCOPED_TRACE(c.out + " " + c.message);
    test::GrowOptions o;
    o.size = c.size;
    o.table = c.table;
    try {
      test::GrowToFile(c.in, c.out, o);
      ADD_FAILURE() << "not refused";
    } catch (const JetError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(ReadBytes(existing), "keep me");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator()), 1);
}

TEST(JetGrow, ParsesSizes) {
  const struct {
    const char* text;
    bool ok;
    uint64_t bytes;
  } cases[] = {
      {"4096", true, 4096},
      {"64K", true, 65536},
      {"500M", true, 524288000},
      {"500MB", true, 524288000},
      {"2g", true, 2147483648ull},
      {"7b", true, 7},
      {"", false, 0},
      {"M", false, 0},
      {"5T", false, 0},
      {"1.5G", false, 0},
      {"-3M", false, 0},
      {"12 M", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t v = 0;
    EXPECT_EQ(test::ParseSize(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.bytes) << c.text;
    }
  }
}

}  // namespace
}  // namespace orvelle::jet
