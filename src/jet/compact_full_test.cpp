// The full compactor: every fixture repacked and verified, smaller than the page slide leaves
// it, deleted rows reclaimed, encrypted files kept encrypted, and the fallback to the page slide.
#include "jet/compact_full.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/page_source.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/delete_rows.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "jet/values.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;

// Bytes the page slide alone would leave.
uint64_t SlideSize(const std::string& in) {
  auto db = Database::OpenFile(in);
  PageInventory inv = CollectInventory(*db);
  std::ostringstream out;
  WriteRelocated(*db, inv, PackDown(inv), out);
  return out.str().size();
}

void ExpectEquivalent(const std::string& a, const std::string& b) {
  auto da = Database::OpenFile(a), db = Database::OpenFile(b);
  CompareReport r = CompareDatabases(*da, *db);
  EXPECT_TRUE(r.Equivalent()) << (r.differences.empty() ? "" : r.differences.front());
  CheckReport c = CheckDatabase(*db);
  EXPECT_TRUE(c.Consistent()) << (c.findings.empty() ? "" : c.findings.front().Describe());
}

// The writer streams: each position reaches the sink once, the pages whose pointers wait on
// later ones out of order, and together they are the file that is published.
TEST(JetCompactFull, PutsEveryPageOnceAndTheFileIsWhatWasPut) {
  ORVELLE_REQUIRE_CORPUS(orvelle::test::AccessFixturesDir());
  std::vector<std::string> files = test::CompactableFixtures();
  ASSERT_FALSE(files.empty());
  struct Recorder : PageSink {
    size_t page_size = 0;
    std::vector<uint32_t> order;
    std::map<uint32_t, std::string> pages;
    void Put(uint32_t position, const uint8_t* page) override {
      order.push_back(position);
      pages[position].assign(reinterpret_cast<const char*>(page), page_size);
    }
  };
  ScopedTempDir tmp;
  bool out_of_order = false;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    auto db = Database::OpenFile(in);
    Recorder sink;
    sink.page_size = db->PageSize();
    const uint32_t count = WriteFullyCompacted(*db, sink);
    ASSERT_EQ(sink.order.size(), count);
    ASSERT_EQ(sink.pages.size(), count);
    EXPECT_EQ(sink.pages.rbegin()->first, count - 1);
    out_of_order = out_of_order || !std::is_sorted(sink.order.begin(), sink.order.end());
    std::string put;
    for (const auto& [position, bytes] : sink.pages) put += bytes;
    const std::string out = tmp.Sub(name);
    ASSERT_TRUE(CompactDatabase(in, out).full);
    EXPECT_TRUE(ReadBytes(out) == put);
  }
  EXPECT_TRUE(out_of_order);
}

TEST(JetCompactFull, RepacksEveryFixtureNoLargerThanThePageSlide) {
  std::vector<std::string> files = test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  uint64_t before = 0, slid = 0, after = 0;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    const std::string out = tmp.Sub(name), again = tmp.Sub("again-" + name);
    CompactResult r = CompactDatabase(in, out);
    EXPECT_TRUE(r.full) << r.fallback;
    const uint64_t by_slide = SlideSize(in);
    EXPECT_LE(r.bytes_after, by_slide);
    ExpectEquivalent(in, out);
    // A compacted file has nothing left to repack.
    CompactResult second = CompactDatabase(out, again);
    EXPECT_LE(second.bytes_after, r.bytes_after);
    before += r.bytes_before;
    slid += by_slide;
    after += r.bytes_after;
    std::printf("[ full     ] %-40s %9llu -> slide %9llu -> full %9llu\n", name.c_str(),
                static_cast<unsigned long long>(r.bytes_before),
                static_cast<unsigned long long>(by_slide),
                static_cast<unsigned long long>(r.bytes_after));
  }
  std::printf("[ full     ] total %llu -> slide %llu -> full %llu\n",
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(slid),
              static_cast<unsigned long long>(after));
  EXPECT_LT(after, slid);
}

// Tables ids of a file, by name.
std::map<std::string, uint32_t> Ids(const std::string& path) {
  std::map<std::string, uint32_t> out;
  auto db = Database::OpenFile(path);
  for (const CatalogEntry& e : db->Catalog()) out[e.name] = e.id;
  return out;
}

// Definitions created late leave no gap below them: they move down, renumbering their tables,
// and the tables reported pinned keep their ids.
TEST(JetCompactFull, MovesDefinitionsDownAndKeepsPinnedTablesInPlace) {
  for (const char* name : {"V2000-testV2000.mdb", "V2000-testRefGlobalV2000.mdb"}) {
    SCOPED_TRACE(name);
    std::string in = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(in);
    ScopedTempDir tmp;
    const std::string out = tmp.Sub(name);
    CompactResult r = CompactDatabase(in, out);
    ASSERT_TRUE(r.full) << r.fallback;
    EXPECT_LE(r.bytes_after, 400000u);
    EXPECT_GT(r.tables_moved, 0u);
    EXPECT_EQ(r.pinned.size(), r.tables_pinned);
    const auto before = Ids(in), after = Ids(out);
    uint32_t moved = 0;
    for (const auto& [table, id] : before) {
      moved += after.at(table) != id;
      const std::string line = "table \"" + table + "\" (id " + std::to_string(id) + "): ";
      bool pinned = false;
      for (const std::string& p : r.pinned) pinned = pinned || p.rfind(line, 0) == 0;
      if (pinned) {
        EXPECT_EQ(after.at(table), id) << table;
      }
    }
    EXPECT_EQ(moved, r.tables_moved);
    auto db = Database::OpenFile(out);
    EXPECT_EQ(CheckDatabase(*db).pages_free, 0u);
  }
}

// An id planted in a system table outside the known holders pins its table, and the result
// names the column where it was found.
TEST(JetCompactFull, PinsATableWhoseIdOccursInASystemTable) {
  std::string in = test::Fixture("V1997-testV1997.mdb");
  ORVELLE_REQUIRE_CORPUS(in);
  ScopedTempDir tmp;
  CompactResult plain = CompactDatabase(in, tmp.Sub("plain.mdb"));
  const auto before = Ids(in), after = Ids(tmp.Sub("plain.mdb"));
  std::string victim;
  for (const auto& [table, id] : before) {
    if (after.at(table) != id && table.rfind("MSys", 0) != 0) victim = table;
  }
  ASSERT_FALSE(victim.empty()) << "no user table moved";
  // Its id goes into the creation date of its own catalogue row.
  std::string bytes = ReadBytes(in);
  {
    Database db(MemorySource("in", bytes));
    TableDef cat = ReadTableDef(db, 2);
    const int name_col = cat.ColumnIndex("Name"), date_col = cat.ColumnIndex("DateCreate");
    ASSERT_GE(date_col, 0);
    uint64_t at = 0;
    ForEachLiveRow(db, cat, [&](const LiveRow& row) {
      CrackedRow cr = CrackRow(db, cat, row);
      const ColumnData& n = cr.columns[name_col];
      if (DecodeText(db, n.data, n.size) != victim) return;
      at = uint64_t{row.data.page} * db.PageSize() +
           static_cast<uint64_t>(cr.columns[date_col].data - row.page->data());
    });
    ASSERT_NE(at, 0u);
    test::Put32(bytes, at, before.at(victim));
  }
  const std::string planted = tmp.Sub("planted.mdb");
  orvelle::test::WriteBytes(planted, bytes);
  CompactResult r = CompactDatabase(planted, tmp.Sub("out.mdb"));
  ASSERT_TRUE(r.full) << r.fallback;
  EXPECT_EQ(r.tables_pinned, plain.tables_pinned + 1);
  EXPECT_EQ(r.tables_moved, plain.tables_moved - 1);
  EXPECT_EQ(Ids(tmp.Sub("out.mdb")).at(victim), before.at(victim));
  const std::string line = "table \"" + victim + "\" (id " + std::to_string(before.at(victim)) +
                           "): MSysObjects column \"DateCreate\"";
  EXPECT_NE(std::find(r.pinned.begin(), r.pinned.end(), line), r.pinned.end())
      << (r.pinned.empty() ? "" : r.pinned.back());
}

// Half the rows deleted: the full compactor gets their space back, the page slide cannot.
TEST(JetCompactFull, ReclaimsDeletedRows) {
  std::vector<std::string> files;
  for (const char* name : {"V1997-testV1997.mdb", "V2000-test2V2000.mdb", "V2007-testV2007.accdb",
                           "V2010-delTestV2010.accdb", "V2019-extDateTestV2019.accdb"}) {
    std::string path = test::Fixture(name);
    if (!path.empty()) files.push_back(path);
  }
  std::string monitor = test::DebianFixture("Monitor.mdb");
  if (!monitor.empty()) files.push_back(monitor);
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    const std::string deleted = tmp.Sub("deleted-" + name);
    test::DeleteOptions o;
    o.share = 0.5;
    o.seed = 3;
    o.all_tables = true;
    test::DeleteReport report = test::DeleteRowsToFile(in, deleted, o);
    ASSERT_GT(report.Deleted(), 0u);
    CompactResult whole = CompactDatabase(in, tmp.Sub("whole-" + name));
    CompactResult half = CompactDatabase(deleted, tmp.Sub("half-" + name));
    EXPECT_TRUE(half.full) << half.fallback;
    EXPECT_LE(half.bytes_after, whole.bytes_after);
    EXPECT_LE(half.bytes_after, SlideSize(deleted));
    ExpectEquivalent(deleted, tmp.Sub("half-" + name));
    std::printf("[ deleted  ] %-40s whole %8llu, half deleted %8llu (slide %8llu)\n", name.c_str(),
                static_cast<unsigned long long>(whole.bytes_after),
                static_cast<unsigned long long>(half.bytes_after),
                static_cast<unsigned long long>(SlideSize(deleted)));
  }
}

// Both independent readers read the same rows from a half-deleted sample and from its repacked
// copy; the Debian sample runs wherever its package can be fetched.
TEST(JetCompactFull, IndependentReadersReadTheRepackedRows) {
  std::vector<std::string> files;
  std::string monitor = test::DebianFixture("Monitor.mdb");
  if (!monitor.empty()) files.push_back(monitor);
  for (const char* name : {"V1997-testV1997.mdb", "V2007-testV2007.accdb"}) {
    std::string path = test::Fixture(name);
    if (!path.empty()) files.push_back(path);
  }
  ORVELLE_REQUIRE_CORPUS(files);
  struct Oracle {
    const char* name;
    bool (*available)(std::string*);
    test::TableDump (*dump)(const std::string&, const std::string&);
  };
  const Oracle oracles[] = {{"mdbtools", &test::MdbToolsAvailable, &test::MdbExportDump},
                            {"mdb-reader", &test::MdbReaderAvailable, &test::MdbReaderDump}};
  ScopedTempDir tmp;
  int compared = 0;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    const std::string deleted = tmp.Sub("deleted-" + name), out = tmp.Sub(name);
    test::DeleteOptions o;
    o.seed = 5;
    test::DeleteRowsToFile(in, deleted, o);
    CompactResult r = CompactDatabase(deleted, out);
    EXPECT_TRUE(r.full) << name << ": " << r.fallback;
    auto db = Database::OpenFile(deleted);
    for (const Oracle& oracle : oracles) {
      std::string why;
      if (!oracle.available(&why)) continue;
      for (const std::string& table : test::UserTables(*db)) {
        SCOPED_TRACE(name + " table " + table + " " + oracle.name);
        test::TableDump want;
        try {
          want = oracle.dump(deleted, table);
        } catch (const std::exception&) {
          continue;  // a table this reader cannot read at all; the reader tests name them
        }
        EXPECT_EQ(test::Canonical(want, oracle.dump(out, table)), test::Canonical(want, want));
        ++compared;
      }
    }
  }
  if (compared == 0) GTEST_SKIP() << "no independent reader installed (scripts/jet-oracle)";
}

TEST(JetCompactFull, KeepsEncryptedFilesEncrypted) {
  struct Case {
    const char* file;
    const char* password;
  };
  for (const Case& c :
       {Case{"db97-enc.mdb", ""}, Case{"db-enc.mdb", ""}, Case{"db2007-oldenc.accdb", "Test123"},
        Case{"db2007-enc.accdb", "Test123"}, Case{"db2013-enc.accdb", "1234"}}) {
    SCOPED_TRACE(c.file);
    std::string in = test::EncryptedFixture(c.file);
    ORVELLE_REQUIRE_CORPUS(in);
    ScopedTempDir tmp;
    CompactOptions o;
    if (*c.password) o.password = c.password;
    const std::string out = tmp.Sub(c.file);
    CompactResult r = CompactDatabase(in, out, o);
    EXPECT_TRUE(r.full) << r.fallback;
    auto a = Database::OpenFile(in, c.password), b = Database::OpenFile(out, c.password);
    EXPECT_EQ(b->GetHeader().encoded(), a->GetHeader().encoded());
    EXPECT_EQ(b->GetHeader().office.has_value(), a->GetHeader().office.has_value());
    EXPECT_TRUE(CompareDatabases(*a, *b).Equivalent());
    EXPECT_TRUE(CheckDatabase(*b).Consistent());
  }
}

// A full copy that fails verification is never published: the page slide writes the file.
TEST(JetCompactFull, FallsBackToThePageSlideWhenItsCopyFailsVerification) {
  std::string in = test::Fixture("V2010-delTestV2010.accdb");
  ORVELLE_REQUIRE_CORPUS(in);
  ScopedTempDir tmp;
  CompactOptions o;
  int calls = 0;
  o.before_verify = [&calls](const std::string& temp) {
    if (calls++ > 0) return;
    std::string b = ReadBytes(temp);
    b[4096 + 4096 - 69 + 5] = static_cast<char>(0xFF);  // page 1 row 0: pages 0..7 free
    orvelle::test::WriteBytes(temp, b);
  };
  const std::string out = tmp.Sub("out.accdb");
  CompactResult r = CompactDatabase(in, out, o);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(r.full);
  EXPECT_EQ(r.fallback.rfind("the compacted copy failed the structural check: ", 0), 0u)
      << r.fallback;
  EXPECT_EQ(r.bytes_after, SlideSize(in));
  ExpectEquivalent(in, out);
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(tmp.Path()))
    left.insert(e.path().filename().string());
  EXPECT_EQ(left, std::set<std::string>{"out.accdb"});
}

}  // namespace
}  // namespace orvelle::jet
