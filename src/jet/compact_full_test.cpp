// The full compactor: every fixture repacked and verified, smaller than the page slide leaves
// it, deleted rows reclaimed, encrypted files kept encrypted, and the fallback to the page slide.
#include "jet/compact_full.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/testtools/delete_rows.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
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

// Files the full compactor hands to the page slide, with the reason it gives.
const std::map<std::string, std::string> kSlid = {
    {"V2000-testRefGlobalV2000.mdb", "the global usage map is stored on bitmap pages"},
};

TEST(JetCompactFull, RepacksEveryFixtureNoLargerThanThePageSlide) {
  std::vector<std::string> files = test::CompactableFixtures();
  if (files.empty()) GTEST_SKIP() << "Access fixtures absent (set ORVELLE_FIXTURES)";
  ScopedTempDir tmp;
  uint64_t before = 0, slid = 0, after = 0;
  for (const std::string& in : files) {
    const std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    const std::string out = tmp.Sub(name), again = tmp.Sub("again-" + name);
    CompactResult r = CompactDatabase(in, out);
    auto slide = kSlid.find(name);
    EXPECT_EQ(r.full, slide == kSlid.end()) << r.fallback;
    if (slide != kSlid.end()) {
      EXPECT_EQ(r.fallback, slide->second);
    }
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
  if (files.empty()) GTEST_SKIP() << "no sample databases (fixtures, scripts/fetch-test-data.sh)";
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
  if (files.empty()) GTEST_SKIP() << "no sample databases (fixtures, scripts/fetch-test-data.sh)";
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
    JET_REQUIRE_FIXTURE(in);
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
  JET_REQUIRE_FIXTURE(in);
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
  for (const auto& e : fs::directory_iterator(tmp.Path())) left.insert(e.path().filename());
  EXPECT_EQ(left, std::set<std::string>{"out.accdb"});
}

}  // namespace
}  // namespace orvelle::jet
