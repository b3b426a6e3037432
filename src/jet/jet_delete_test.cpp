// The row deleter (orvelle-jet-delete): its output passes the structural checker, every reader
// sees exactly the input's rows less the deleted ones, the share is met, the choice depends on
// the seed alone, and today's compactor compacts the output with verification.
#include "jet/testtools/delete_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compare.h"
#include "jet/index.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;

uint32_t TableId(Database& db, const std::string& name) {
  for (const CatalogEntry& e : db.Catalog()) {
    if (e.name == name) return e.id;
  }
  throw std::runtime_error("no table " + name);
}

// The rows of table in db without the deleted ones, as our reader renders them.
test::TableDump Without(Database& db, const std::string& table,
                        const std::vector<RowPointer>& deleted) {
  test::TableDump all = test::OwnDump(db, table);
  TableDef t = ReadTableDef(db, TableId(db, table));
  std::vector<RowPointer> order;  // OwnDump walks the rows in this order too
  ForEachLiveRow(db, t, [&](const LiveRow& r) { order.push_back(r.header); });
  test::TableDump kept{all.columns, {}};
  for (size_t i = 0; i < order.size(); ++i) {
    if (!std::binary_search(deleted.begin(), deleted.end(), order[i])) {
      kept.rows.push_back(all.rows[i]);
    }
  }
  return kept;
}

struct Oracle {
  const char* name;
  bool (*available)(std::string*);
  test::TableDump (*dump)(const std::string&, const std::string&);
};
const Oracle kOracles[] = {{"mdbtools", &test::MdbToolsAvailable, &test::MdbExportDump},
                           {"mdb-reader", &test::MdbReaderAvailable, &test::MdbReaderDump}};

// Everything the deleter promises about out, made from in with share, and what compacting out
// keeps of it.
void ExpectDeleted(const std::string& in, const std::string& out, const test::DeleteReport& report,
                   double share, bool oracles) {
  auto a = Database::OpenFile(in), b = Database::OpenFile(out);
  CheckReport check = CheckDatabase(*b);
  for (const Finding& f : check.findings) {
    EXPECT_NE(f.severity, Severity::kError) << f.Describe();
  }
  std::map<std::string, uint64_t> live;
  for (const TableSummary& s : check.tables) live[s.name] = s.live_rows;
  // The compacted copy of the edited file: both readers must read it as they read the edit.
  ScopedTempDir tmp;
  const std::string compacted = tmp.Sub("compacted");
  ASSERT_NO_THROW(CompactDatabase(out, compacted));
  const std::string base = fs::path(in).filename().string();
  for (const test::TableDeletion& t : report.tables) {
    SCOPED_TRACE(base + " table " + t.name);
    const uint64_t left = t.rows_before - t.deleted.size();
    EXPECT_EQ(t.deleted.size(),
              static_cast<uint64_t>(std::llround(share * static_cast<double>(t.rows_before))));
    EXPECT_EQ(live[t.name], left);
    EXPECT_EQ(ReadTableDef(*b, TableId(*b, t.name)).num_rows, left);
    for (RowPointer rp : t.deleted) {
      DataPage d = ParseDataPage(*b, rp.page, "deleted row");
      ASSERT_LT(rp.row, d.slots.size());
      EXPECT_TRUE(d.slots[rp.row].Deleted()) << Describe(rp);
      EXPECT_EQ(d.slots[rp.row].Length(), 0u) << Describe(rp);
    }
    const test::TableDump want = Without(*a, t.name, t.deleted);
    const std::vector<std::string> expected = test::Canonical(want, want);
    EXPECT_EQ(test::Canonical(want, test::OwnDump(*b, t.name)), expected);
    for (const Oracle& o : kOracles) {
      std::string why;
      if (!oracles || !o.available(&why) || test::OracleKnownWrong(base, t.name, o.name)) continue;
      SCOPED_TRACE(o.name);
      try {
        o.dump(in, t.name);
      } catch (const std::exception&) {
        continue;  // a table the oracle cannot read at all (mdb-reader: MSysAccessObjects)
      }
      EXPECT_EQ(test::Canonical(want, o.dump(out, t.name)), expected);
      EXPECT_EQ(test::Canonical(want, o.dump(compacted, t.name)), expected) << "compacted";
    }
  }
  auto c = Database::OpenFile(compacted);
  CompareReport same = CompareDatabases(*b, *c);
  EXPECT_TRUE(same.Equivalent()) << (same.differences.empty() ? "" : same.differences.front());
}

TEST(JetDelete, DebianSampleEveryTableBothReadersAndTheCompactor) {
  const std::string in = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(in);
  ScopedTempDir tmp;
  for (double share : {0.3, 0.5, 1.0}) {
    SCOPED_TRACE("share " + std::to_string(share));
    const std::string out = tmp.Sub("out-" + std::to_string(share) + ".mdb");
    test::DeleteOptions o;
    o.share = share;
    o.seed = 7;
    o.all_tables = true;
    test::DeleteReport r = test::DeleteRowsToFile(in, out, o);
    EXPECT_GT(r.Deleted(), 10u);
    ExpectDeleted(in, out, r, share, true);
  }
}

TEST(JetDelete, SameSeedSameFileOtherSeedOtherRows) {
  const std::string in = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(in);
  ScopedTempDir tmp;
  test::DeleteOptions o;
  o.all_tables = true;
  o.seed = 11;
  test::DeleteReport first = test::DeleteRowsToFile(in, tmp.Sub("a.mdb"), o);
  test::DeleteRowsToFile(in, tmp.Sub("b.mdb"), o);
  o.seed = 12;
  test::DeleteReport other = test::DeleteRowsToFile(in, tmp.Sub("c.mdb"), o);
  EXPECT_EQ(ReadBytes(tmp.Sub("a.mdb")), ReadBytes(tmp.Sub("b.mdb")));
  EXPECT_NE(ReadBytes(tmp.Sub("a.mdb")), ReadBytes(tmp.Sub("c.mdb")));
  ASSERT_EQ(first.tables.size(), other.tables.size());
  bool differ = false;
  for (size_t i = 0; i < first.tables.size(); ++i) {
    EXPECT_EQ(first.tables[i].deleted.size(), other.tables[i].deleted.size());
    differ = differ || first.tables[i].deleted != other.tables[i].deleted;
  }
  EXPECT_TRUE(differ);
  // User tables only: the system tables keep every row.
  o.all_tables = false;
  test::DeleteReport user = test::DeleteRowsToFile(in, tmp.Sub("d.mdb"), o);
  ASSERT_EQ(user.tables.size(), 1u);
  EXPECT_EQ(user.tables[0].name, "Monitor_Authenticate");
}

TEST(JetDelete, EveryFixtureUserTablesWithBothReaders) {
  std::vector<std::string> files = test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    test::DeleteOptions o;
    o.share = 0.5;
    test::DeleteReport r;
    ASSERT_NO_THROW(r = test::DeleteRowsToFile(in, tmp.Sub(name), o));
    ExpectDeleted(in, tmp.Sub(name), r, o.share, true);
    fs::remove(tmp.Sub(name));
  }
}

TEST(JetDelete, EveryFixtureEveryTable) {
  std::vector<std::string> files = test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  uint64_t deleted = 0;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    test::DeleteOptions o;
    o.share = 0.6;
    o.seed = 3;
    o.all_tables = true;
    test::DeleteReport r;
    ASSERT_NO_THROW(r = test::DeleteRowsToFile(in, tmp.Sub(name), o));
    deleted += r.Deleted();
    ExpectDeleted(in, tmp.Sub(name), r, o.share, false);
    fs::remove(tmp.Sub(name));
  }
  EXPECT_GT(deleted, 5000u);
}

// Jet files encoded with RC4 are edited through their decoded pages and stay encoded.
TEST(JetDelete, EncodedJetFilesStayEncoded) {
  ScopedTempDir tmp;
  int done = 0;
  for (const char* file : {"db-enc.mdb", "db97-enc.mdb"}) {
    const std::string in = test::EncryptedFixture(file);
    if (in.empty()) continue;
    SCOPED_TRACE(file);
    test::DeleteOptions o;
    o.all_tables = true;
    const std::string out = tmp.Sub(file);
    test::DeleteReport r = test::DeleteRowsToFile(in, out, o);
    EXPECT_GT(r.Deleted(), 0u);
    ExpectDeleted(in, out, r, o.share, true);
    auto db = Database::OpenFile(out);
    EXPECT_TRUE(db->GetHeader().encoded());
    EXPECT_EQ(ReadBytes(out).substr(0, db->PageSize()), ReadBytes(in).substr(0, db->PageSize()));
    ++done;
  }
  ORVELLE_REQUIRE_CORPUS(done > 0);
}

// Indexes with node pages: leaves emptied by the deletes leave the tree and become free pages,
// a root left with one child takes its place, and a table left without rows keeps one empty
// leaf as its root.
TEST(JetDelete, IndexesWithNodePagesShrinkAsTheEngineLeavesThem) {
  const char* const kFiles[] = {"V1997-compIndexTestV1997.mdb", "V2000-compIndexTestV2000.mdb",
                                "V2007-compIndexTestV2007.accdb", "V2010-binIdxTestV2010.accdb",
                                "V1997-testIndexCodesV1997.mdb"};
  ORVELLE_REQUIRE_CORPUS(test::Fixture(kFiles[0]));
  ScopedTempDir tmp;
  for (const char* file : kFiles) {
    const std::string in = test::Fixture(file);
    uint32_t free_before = 0;
    {
      auto db = Database::OpenFile(in);
      free_before = CheckDatabase(*db).pages_free;
    }
    for (double share : {0.3, 0.9, 1.0}) {
      SCOPED_TRACE(std::string(file) + " share " + std::to_string(share));
      const std::string out = tmp.Sub(std::to_string(share) + "-" + file);
      test::DeleteOptions o;
      o.share = share;
      test::DeleteReport r = test::DeleteRowsToFile(in, out, o);
      ExpectDeleted(in, out, r, share, false);
      auto db = Database::OpenFile(out);
      CheckReport check = CheckDatabase(*db);
      for (const CatalogEntry& e : db->Catalog()) {
        if (e.System() || e.type != 1) continue;
        TableDef t = ReadTableDef(*db, e.id);
        for (size_t i = 0; i < t.physical.size(); ++i) {
          IndexTree tree = ReadIndexTree(*db, t, i);
          if (share == 1.0) {
            EXPECT_EQ(tree.pages.size(), 1u) << e.name << " index " << i;
            EXPECT_TRUE(tree.entries.empty());
          }
        }
      }
      if (share == 1.0) {
        EXPECT_GT(check.pages_free, free_before);
      }
    }
  }
}

TEST(JetDelete, RefusesWhatItCannotDoSafely) {
  ScopedTempDir tmp;
  struct Case {
    std::string in;
    std::string out;
    double share;
    std::string message;
  };
  const std::string monitor = test::DebianFixture("Monitor.mdb");
  const std::string existing = tmp.Sub("existing.mdb");
  orvelle::test::WriteBytes(existing, "keep me");
  std::vector<Case> cases = {
      {test::DebianFixture("testodbc.mdb"), tmp.Sub("a"), 0.5,
       "page 19: the database fails the structural check: data page: row 16: variable offset 0 "
       "is 0x6F, outside 0x0..0x69"},
      {monitor, existing, 0.5, existing + ": already exists"},
      {monitor, tmp.Sub("b"), 1.5, "the share of rows to delete must be between 0 and 1"},
      {test::EncryptedFixture("db2007-enc.accdb"), tmp.Sub("c"), 0.5, "Not a valid password."},
  };
  for (const Case& c : cases) {
    if (c.in.empty()) continue;  // its sample is absent here
    SCOPED_TRACE(c.in + " -> " + c.out);
    test::DeleteOptions o;
    o.share = c.share;
    try {
      test::DeleteRowsToFile(c.in, c.out, o);
      ADD_FAILURE() << "not refused";
    } catch (const JetError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    if (c.out != existing) {
      EXPECT_FALSE(fs::exists(c.out));
    }
  }
  EXPECT_EQ(ReadBytes(existing), "keep me");
  // Nothing but the file the test made is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator()), 1);
}

#ifndef _WIN32
// The program: usage errors exit 2 with the reason, refusals 1, success 0 with a summary.
TEST(JetDelete, ProgramStatusAndMessages) {
  const std::string monitor = test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor);
  ScopedTempDir tmp;
  const std::string tool = orvelle::test::BuiltProgram("orvelle-jet-delete");
  struct Case {
    std::string args;
    int status;
    std::string output;
  };
  const std::string out = tmp.Sub("out.mdb");
  const Case cases[] = {
      {"'" + monitor + "' '" + out + "'", 2, "--share is required"},
      {"'" + monitor + "' '" + out + "' --share=2", 2, "--share must be a number from 0 to 1"},
      {"'" + monitor + "' '" + out + "' --share=x", 2, "--share must be a number from 0 to 1"},
      {"'" + monitor + "' '" + out + "' --share=1 --tables=some", 2,
       "--tables must be user or all"},
      {"'" + monitor + "' --share=1", 2, "expected IN and OUT"},
      {"'" + monitor + "' '" + out + "' --share=1 --seed=-4", 2, "--seed must be a whole number"},
      {"'" + monitor + "' '" + out + "' --share=1 --seed=4", 0,
       "Monitor_Authenticate: 1 of 1 rows deleted"},
      {"'" + monitor + "' '" + out + "' --share=1", 1, "already exists"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string log = tmp.Sub("log");
    int rc = std::system(("'" + tool + "' " + c.args + " >'" + log + "' 2>&1").c_str());
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, c.status);
    EXPECT_NE(ReadBytes(log).find(c.output), std::string::npos) << ReadBytes(log);
  }
}
#endif

// The page codec the deleter edits indexes with: every index page of the samples encodes back
// to the entries, links and free space it was read with.
TEST(JetIndexEncode, EveryIndexPageReadsBackTheSame) {
  std::vector<std::string> files = test::CompactableFixtures();
  const std::string monitor = test::DebianFixture("Monitor.mdb");
  const std::string fruit = test::DebianFixture("fruit.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor, fruit);
  files.push_back(monitor);
  files.push_back(fruit);
  size_t pages = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string bytes = ReadBytes(file);
    auto db = Database::OpenFile(file);
    if (db->GetHeader().encoded()) continue;
    const uint32_t ps = db->PageSize();
    std::vector<uint32_t> index_pages;
    for (const CatalogEntry& e : db->Catalog()) {
      TableDef t = ReadTableDef(*db, e.id);
      for (size_t i = 0; i < t.physical.size(); ++i) {
        for (uint32_t pn : ReadIndexTree(*db, t, i).pages) index_pages.push_back(pn);
      }
    }
    std::string encoded = bytes;
    for (uint32_t pn : index_pages) {
      IndexPage ip = ReadIndexPage(*db, pn);
      ASSERT_TRUE(EncodeIndexPage(db->GetLayout(), ip,
                                  reinterpret_cast<uint8_t*>(&encoded[uint64_t{pn} * ps])));
    }
    Database again(MemorySource(file, encoded));
    for (uint32_t pn : index_pages) {
      IndexPage a = ReadIndexPage(*db, pn), b = ReadIndexPage(again, pn);
      EXPECT_EQ(a.entries, b.entries) << "page " << pn;
      EXPECT_EQ(a.leaf, b.leaf);
      EXPECT_EQ(a.prev, b.prev);
      EXPECT_EQ(a.next, b.next);
      EXPECT_EQ(a.tail, b.tail);
      EXPECT_EQ(a.owner, b.owner);
      EXPECT_GE(b.prefix, a.leaf ? a.prefix : 0);
      ++pages;
    }
    CheckReport check = CheckDatabase(again);
    EXPECT_TRUE(check.Consistent());
  }
  EXPECT_GT(pages, 20u);
}

}  // namespace
}  // namespace orvelle::jet
