// The reader on real databases: formats, encryption, catalogue, definitions, rows, long
// values. Row contents are checked against independent readers in jet_oracle_test.cpp.
#include <gtest/gtest.h>

#include <map>

#include "jet/database.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "jet/testtools/office_fixtures.h"
#include "jet/values.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

using test::EncryptedFixture;
using test::Fixture;

struct FormatCase {
  const char* file;
  Version version;
  uint32_t page_size;
  uint32_t pages;
};

TEST(JetHeader, DetectsFormatAndPageSize) {
  const FormatCase cases[] = {
      {"V1997-testV1997.mdb", Version::kJet3, 2048, 58},
      {"V2000-testV2000.mdb", Version::kJet4, 4096, 743},
      {"V2007-testV2007.accdb", Version::kAce12, 4096, 104},
      {"V2010-testV2010.accdb", Version::kAce14, 4096, 109},
      {"template-empty2016.accdb", Version::kAce16, 4096, 89},
      {"V2019-extDateTestV2019.accdb", Version::kAce17, 4096, 136},
  };
  for (const FormatCase& c : cases) {
    std::string path = Fixture(c.file);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(c.file);
    auto db = Database::OpenFile(path);
    EXPECT_EQ(db->GetHeader().version, c.version);
    EXPECT_EQ(db->PageSize(), c.page_size);
    EXPECT_EQ(db->PageCount(), c.pages);
    EXPECT_FALSE(db->GetHeader().encoded());
    EXPECT_EQ(db->TrailingBytes(), 0u);
  }
}

// Password-encrypted ACE files open with their password only; the scheme is read from page 0
// (jet_encrypted_test.cpp reads, checks and compacts them).
TEST(JetHeader, OpensPasswordEncryptedAceFilesWithTheirPasswordOnly) {
  for (const test::EncryptedCase& c : test::PasswordFixtures()) {
    std::string path = EncryptedFixture(c.file);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(c.file);
    for (const std::string& wrong : {std::string(), std::string(c.password) + " "}) {
      try {
        Database::OpenFile(path, wrong);
        ADD_FAILURE() << "opened with \"" << wrong << "\"";
      } catch (const PasswordError& e) {
        EXPECT_EQ(e.Detail(), "Not a valid password.");
        EXPECT_EQ(e.File(), path);
      }
    }
    auto db = Database::OpenFile(path, c.password);
    ASSERT_TRUE(db->GetHeader().office.has_value());
    EXPECT_EQ(db->GetHeader().office->Describe(), c.scheme);
  }
}

TEST(JetHeader, DecodesRc4EncodedJetFiles) {
  for (const char* name : {"db97-enc.mdb", "db-enc.mdb"}) {
    std::string path = EncryptedFixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(name);
    auto db = Database::OpenFile(path);
    EXPECT_TRUE(db->GetHeader().encoded());
    test::TableDump d = test::OwnDump(*db, "Table1");
    ASSERT_EQ(d.rows.size(), 2u);
  }
}

TEST(JetHeader, IgnoresTrailingPartialPage) {
  std::string path = Fixture("debian-fp-units-db-testodbc.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  EXPECT_EQ(db->PageCount(), 40u);
  EXPECT_EQ(db->TrailingBytes(), 1u);
}

// Counts the reads that reach the file.
class CountingSource : public ByteSource {
 public:
  CountingSource(std::unique_ptr<ByteSource> inner, int* reads)
      : inner_(std::move(inner)), reads_(reads) {}
  const std::string& Name() const override { return inner_->Name(); }
  uint64_t Size() const override { return inner_->Size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t len) override {
    ++*reads_;
    return inner_->ReadAt(offset, buffer, len);
  }

 private:
  std::unique_ptr<ByteSource> inner_;
  int* reads_;
};

TEST(JetPages, CacheServesRepeatsAndStaysBounded) {
  std::string path = Fixture("V2000-testV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  int reads = 0;
  Database db(std::make_unique<CountingSource>(OpenFileSource(path), &reads));
  EXPECT_EQ(reads, 1);  // page 0
  Page first = db.ReadPage(5, "test");
  Page again = db.ReadPage(5, "test");
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(first.get(), again.get());
  for (uint32_t pn = 0; pn < db.PageCount(); ++pn) db.ReadPage(pn, "test");
  EXPECT_EQ(db.CachedPages(), Database::kCachePages);
  EXPECT_EQ(reads, 2 + 742);  // every page but 5 once more
  // A page handed out stays valid after the cache dropped it.
  EXPECT_EQ((*first)[0], kPageTableDef);
}

TEST(JetPages, PageBeyondTheEndIsAnError) {
  std::string path = Fixture("V2000-testV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  try {
    db->ReadPage(743, "data page");
    FAIL();
  } catch (const JetError& e) {
    EXPECT_EQ(e.Detail(), "page 743: data page: page beyond end of file (743 pages)");
  }
}

struct CountCase {
  const char* file;
  const char* table;
  size_t live_rows;
};

// Deleted rows, overflow rows, many pages, Jet3 and Jet4+.
TEST(JetReader, CountsLiveRows) {
  const CountCase cases[] = {
      {"V1997-delTestV1997.mdb", "Table", 2},
      {"V2010-delTestV2010.accdb", "Table", 2},
      {"V1997-overflowTestV1997.mdb", "Table1", 7},
      {"V2000-overflowTestV2000.mdb", "Table1", 7},
      {"V1997-compIndexTestV1997.mdb", "Table1", 512},
      {"V2010-compIndexTestV2010.accdb", "Table1", 512},
      {"V1997-testIndexCodesV1997.mdb", "Table1", 275},
      {"V2010-testEmoticonsV2010.accdb", "data", 80},
      {"V2019-extDateTestV2019.accdb", "Table1", 9},
  };
  for (const CountCase& c : cases) {
    std::string path = Fixture(c.file);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(std::string(c.file) + " " + c.table);
    auto db = Database::OpenFile(path);
    EXPECT_EQ(test::OwnDump(*db, c.table).rows.size(), c.live_rows);
  }
}

TEST(JetReader, CatalogueListsSystemAndUserTables) {
  std::string path = Fixture("V1997-testV1997.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  std::vector<std::string> user = test::UserTables(*db);
  EXPECT_EQ(user, (std::vector<std::string>{"Table1", "Table2", "Table3", "Table4"}));
  ASSERT_FALSE(db->Catalog().empty());
  EXPECT_EQ(db->Catalog()[0].name, "MSysObjects");
  EXPECT_EQ(db->Catalog()[0].id, 2u);
  EXPECT_TRUE(db->Catalog()[0].System());
}

// Definitions longer than a page: tdef_len spans the continuation page.
TEST(JetReader, ReadsMultiPageTableDefinitions) {
  const std::tuple<const char*, const char*, uint32_t> cases[] = {
      {"V1997-testV1997.mdb", "Table2", 2815},
      {"V2000-testV2000.mdb", "Table2", 4416},
      {"V2010-test2V2010.accdb", "MSP_PROJECTS", 5365},
  };
  for (const auto& [file, table, len] : cases) {
    std::string path = Fixture(file);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(file);
    auto db = Database::OpenFile(path);
    for (const CatalogEntry& e : db->Catalog()) {
      if (e.name != table) continue;
      TableDef t = ReadTableDef(*db, e.id);
      EXPECT_EQ(t.chain.size(), 2u);
      EXPECT_EQ(t.tdef_len, len);
      EXPECT_EQ(t.columns.size(), t.num_cols);
    }
  }
}

// Every long value of a file resolves, and together the corpus has all three kinds.
TEST(JetReader, ResolvesLongValuesOfEveryKind) {
  std::map<uint8_t, int> kinds;
  for (const char* file : {"V1997-test2V1997.mdb", "V2007-odbcLinkerTestV2007.accdb"}) {
    std::string path = Fixture(file);
    ORVELLE_REQUIRE_CORPUS(path);
    auto db = Database::OpenFile(path);
    for (const CatalogEntry& e : db->Catalog()) {
      TableDef t = ReadTableDef(*db, e.id);
      ForEachLiveRow(*db, t, [&](const LiveRow& r) {
        CrackedRow cr = CrackRow(*db, t, r);
        for (size_t k = 0; k < t.columns.size(); ++k) {
          const ColumnData& d = cr.columns[k];
          if (!t.columns[k].IsLongValue() || !d.present) continue;
          LongValueHeader h = ParseLongValueHeader(*db, d.data, d.size, r.data.page, "");
          uint64_t total = 0;
          ReadLongValue(
              *db, d.data, d.size, r.data.page, t.columns[k].name,
              [&](const uint8_t*, size_t n) { total += n; }, nullptr);
          EXPECT_EQ(total, h.length);
          ++kinds[h.kind];
        }
      });
    }
  }
  EXPECT_GT(kinds[kLvInline], 0);
  EXPECT_GT(kinds[kLvSingle], 0);
  EXPECT_GT(kinds[kLvChain], 0);
}

TEST(JetText, DecodesCompressedAndSurrogateText) {
  std::string path = Fixture("V2010-testEmoticonsV2010.accdb");
  ORVELLE_REQUIRE_CORPUS(path);
  auto db = Database::OpenFile(path);
  test::TableDump d = test::OwnDump(*db, "data");
  ASSERT_FALSE(d.rows.empty());
  EXPECT_EQ(d.rows[0], (std::vector<std::string>{"128512",
                                                 "a\xF0\x9F\x98\x80"
                                                 "a"}));
  const uint8_t compressed[] = {0xFF, 0xFE, 'a', 'b', 0x00, 0x3A, 0x26, 0x00, 'c'};
  EXPECT_EQ(DecodeText(*db, compressed, sizeof compressed),
            "ab\xE2\x98\xBA"
            "c");
}

// The two sample databases Debian ships (scripts/fetch-test-data.sh).
TEST(JetDebian, ReadsPackagedSampleDatabases) {
  std::string monitor = test::DebianFixture("Monitor.mdb");
  std::string odbc = test::DebianFixture("testodbc.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor, odbc);
  auto m = Database::OpenFile(monitor);
  EXPECT_EQ(m->GetHeader().version, Version::kJet4);
  EXPECT_EQ(test::UserTables(*m), std::vector<std::string>{"Monitor_Authenticate"});
  EXPECT_EQ(test::OwnDump(*m, "Monitor_Authenticate").rows.size(), 1u);
  auto o = Database::OpenFile(odbc);
  EXPECT_EQ(o->GetHeader().version, Version::kJet3);
  EXPECT_EQ(test::UserTables(*o), std::vector<std::string>{"FPdev"});
  test::TableDump d = test::OwnDump(*o, "FPdev");
  ASSERT_EQ(d.rows.size(), 8u);
  EXPECT_EQ(d.rows[0], (std::vector<std::string>{"1", "Michael Van Canneyt",
                                                 "Michael@tfdec1.fys.kuleuven.ac.be"}));
  std::string why;
  if (test::MdbToolsAvailable(&why)) {
    for (const std::string& file : {monitor, odbc}) {
      auto db = Database::OpenFile(file);
      for (const std::string& table : test::UserTables(*db)) {
        test::TableDump own = test::OwnDump(*db, table);
        EXPECT_EQ(test::Canonical(own, own),
                  test::Canonical(own, test::MdbExportDump(file, table)));
      }
    }
  }
}

}  // namespace
}  // namespace orvelle::jet
