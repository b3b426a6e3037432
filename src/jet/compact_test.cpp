// The native compactor: round trips over the corpus, real reclaiming of bloated files,
// refusals, safe output and lock files.
#include "jet/compact.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "jet/checker.h"
#include "jet/compact_os.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;
using orvelle::test::WriteBytes;

// Every plain fixture except the damaged Debian sample, which is refused (tested below).
std::vector<std::string> CorpusFiles() {
  std::vector<std::string> out;
  std::string dir = orvelle::test::AccessFixturesDir();
  if (dir.empty()) return out;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    std::string ext = e.path().extension().string();
    if ((ext == ".mdb" || ext == ".accdb") && name != "debian-fp-units-db-testodbc.mdb") {
      out.push_back(e.path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void ExpectEquivalent(const std::string& a, const std::string& b) {
  auto da = Database::OpenFile(a), db = Database::OpenFile(b);
  CompareReport r = CompareDatabases(*da, *db);
  EXPECT_TRUE(r.Equivalent()) << (r.differences.empty() ? "" : r.differences.front());
}

// The output is consistent, has nothing left to reclaim, and compacting it again changes
// nothing: stage A reached its fixed point.
void ExpectFullyCompacted(const std::string& out, ScopedTempDir& tmp) {
  auto db = Database::OpenFile(out);
  CheckReport r = CheckDatabase(*db);
  EXPECT_TRUE(r.Consistent());
  EXPECT_EQ(r.pages_leaked, 0u);
  EXPECT_EQ(r.pages_reclaimable, r.pages_free);
  std::string again = tmp.Sub("again-" + fs::path(out).filename().string());
  CompactDatabase(out, again);
  EXPECT_EQ(ReadBytes(again), ReadBytes(out));
}

TEST(JetCompact, RoundTripsEveryFixture) {
  std::vector<std::string> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "Access fixtures absent (set ORVELLE_FIXTURES)";
  ScopedTempDir tmp;
  for (const std::string& in : files) {
    std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    std::string out = tmp.Sub(name);
    CompactResult r;
    ASSERT_NO_THROW(r = CompactDatabase(in, out));
    EXPECT_LE(r.bytes_after, r.bytes_before);
    EXPECT_EQ(r.bytes_after, fs::file_size(out));
    ExpectEquivalent(in, out);
    ExpectFullyCompacted(out, tmp);
    std::printf("[ sizes    ] %-40s %8llu -> %8llu\n", name.c_str(),
                static_cast<unsigned long long>(r.bytes_before),
                static_cast<unsigned long long>(r.bytes_after));
  }
}

TEST(JetCompact, IndependentReaderDumpsTheSameRows) {
  std::string why;
  if (!test::MdbToolsAvailable(&why)) GTEST_SKIP() << why;
  std::vector<std::string> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "Access fixtures absent (set ORVELLE_FIXTURES)";
  ScopedTempDir tmp;
  int tables = 0;
  for (const std::string& in : files) {
    std::string name = fs::path(in).filename().string();
    std::string out = tmp.Sub(name);
    CompactDatabase(in, out);
    auto db = Database::OpenFile(in);
    for (const std::string& table : test::UserTables(*db)) {
      SCOPED_TRACE(name + " table " + table);
      test::TableDump before, after;
      try {
        before = test::MdbExportDump(in, table);
      } catch (const std::exception&) {
        continue;  // values mdb-export cannot delimit; the reader tests cover those
      }
      ASSERT_NO_THROW(after = test::MdbExportDump(out, table));
      EXPECT_EQ(test::Canonical(before, after), test::Canonical(before, before));
      ++tables;
    }
  }
  EXPECT_GT(tables, 100);
}

TEST(JetCompact, KeepsRc4EncodedFilesEncoded) {
  for (const char* name : {"db97-enc.mdb", "db-enc.mdb"}) {
    SCOPED_TRACE(name);
    std::string in = test::EncryptedFixture(name);
    JET_REQUIRE_FIXTURE(in);
    ScopedTempDir tmp;
    std::string out = tmp.Sub(name);
    CompactResult r = CompactDatabase(in, out);
    EXPECT_LE(r.bytes_after, r.bytes_before);
    ExpectEquivalent(in, out);
    ExpectFullyCompacted(out, tmp);
    auto db = Database::OpenFile(out);
    ASSERT_TRUE(db->GetHeader().encoded());
    std::string raw = ReadBytes(out).substr(db->PageSize(), db->PageSize());
    Page decoded = db->ReadPage(1, "test");
    EXPECT_NE(raw, std::string(decoded->begin(), decoded->end()));
    EXPECT_EQ(ReadBytes(out).substr(0, db->PageSize()), ReadBytes(in).substr(0, db->PageSize()));
  }
}

TEST(JetCompact, RefusesPasswordEncryptedAceFiles) {
  struct Case {
    const char* file;
    const char* scheme;
  };
  for (const Case& c : {
           Case{"db2007-oldenc.accdb", "Office RC4 CryptoAPI encryption (version 4.2)"},
           Case{"db2007-enc.accdb", "Office agile encryption (version 4.4)"},
           Case{"db2013-enc.accdb", "Office agile encryption (version 4.4)"},
           Case{"db-nonstandard.accdb", "Office standard AES encryption (version 4.2)"},
       }) {
    SCOPED_TRACE(c.file);
    std::string in = test::EncryptedFixture(c.file);
    JET_REQUIRE_FIXTURE(in);
    ScopedTempDir tmp;
    CompactOptions o;
    o.password = "Test123";
    try {
      CompactDatabase(in, tmp.Sub("out.accdb"), o);
      ADD_FAILURE() << "compacted";
    } catch (const CompactError& e) {
      EXPECT_EQ(e.what(), "Cannot compact \"" + in +
                              "\": page 0: header: database is password-encrypted with " +
                              c.scheme + "; encrypted ACE files are not supported");
    }
    EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{});
  }
}

// Spreading the live pages out and compacting again gives back a file no larger than the
// original (plus a page per table, the slack fixed definition pages may leave) with the same
// content, for every file whose maps can describe the spread-out layout.
TEST(JetCompact, ReclaimsTheGapsOfBloatedFiles) {
  std::vector<std::string> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "Access fixtures absent (set ORVELLE_FIXTURES)";
  ScopedTempDir tmp;
  int bloated = 0;
  for (const std::string& in : files) {
    std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    std::string big;
    try {
      big = test::Bloat(name, ReadBytes(in), 3);
    } catch (const JetError& e) {
      std::printf("[ not bloated ] %s: %s\n", name.c_str(), e.Detail().c_str());
      continue;
    }
    std::string bloated_path = tmp.Sub("bloated-" + name);
    WriteBytes(bloated_path, big);
    auto original = Database::OpenFile(in);
    auto spread = Database::OpenFile(bloated_path);
    CheckReport before = CheckDatabase(*spread);
    ASSERT_TRUE(before.Consistent()) << before.findings.front().Describe();
    PageInventory inv = CollectInventory(*original);
    uint32_t moved = 0;
    for (uint32_t p = 0; p < inv.page_count; ++p) moved += inv.Live(p) && !inv.Fixed(p);
    EXPECT_GE(before.pages_free, 3 * moved);
    EXPECT_EQ(before.pages_leaked, 0u);
    std::string out = tmp.Sub(name);
    CompactResult r = CompactDatabase(bloated_path, out);
    uint64_t tables = original->Catalog().size();
    EXPECT_LE(r.bytes_after, ReadBytes(in).size() + tables * original->PageSize());
    ExpectEquivalent(in, out);
    ++bloated;
  }
  EXPECT_GT(bloated, 60);
}

}  // namespace
}  // namespace orvelle::jet
