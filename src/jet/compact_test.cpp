// The native compactor: round trips over the corpus, real reclaiming of bloated files,
// refusals, safe output and lock files.
#include "jet/compact.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
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

std::vector<std::string> CorpusFiles() { return test::CompactableFixtures(); }

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
  ORVELLE_REQUIRE_CORPUS(files);
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

// Each oracle reads the same rows from the input and from the compacted output. Returns the
// number of tables compared.
int CompareWithOracle(const std::vector<std::string>& files,
                      test::TableDump (*dump)(const std::string&, const std::string&)) {
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
        before = dump(in, table);
      } catch (const std::exception&) {
        continue;  // tables this oracle cannot read at all; the reader tests name them
      }
      EXPECT_NO_THROW(after = dump(out, table));
      EXPECT_EQ(test::Canonical(before, after), test::Canonical(before, before));
      ++tables;
    }
  }
  return tables;
}

std::vector<std::string> Rc4Files() {
  std::vector<std::string> out;
  for (const char* name : {"db97-enc.mdb", "db-enc.mdb"}) {
    std::string path = test::EncryptedFixture(name);
    if (!path.empty()) out.push_back(path);
  }
  return out;
}

TEST(JetCompact, IndependentReaderDumpsTheSameRows) {
  std::vector<std::string> files = CorpusFiles();
  ORVELLE_REQUIRE_CORPUS(files);
  std::string why;
  if (!test::MdbToolsAvailable(&why)) GTEST_SKIP() << why;
  for (const std::string& f : Rc4Files()) files.push_back(f);
  EXPECT_GT(CompareWithOracle(files, test::MdbExportDump), 100);
}

TEST(JetCompact, SecondIndependentReaderDumpsTheSameRows) {
  ORVELLE_REQUIRE_CORPUS(CorpusFiles());
  std::string why;
  if (!test::MdbReaderAvailable(&why)) GTEST_SKIP() << why;
  // One file per format family (node starts once per table, so not the whole corpus).
  std::vector<std::string> some = Rc4Files();
  for (const char* name : {"V1997-testV1997.mdb", "V2000-test2V2000.mdb", "V2007-testV2007.accdb",
                           "V2010-calcFieldTestV2010.accdb", "V2019-extDateTestV2019.accdb"}) {
    some.push_back(test::Fixture(name));
  }
  EXPECT_GT(CompareWithOracle(some, test::MdbReaderDump), 8);
}

TEST(JetCompact, KeepsRc4EncodedFilesEncoded) {
  for (const char* name : {"db97-enc.mdb", "db-enc.mdb"}) {
    SCOPED_TRACE(name);
    std::string in = test::EncryptedFixture(name);
    ORVELLE_REQUIRE_CORPUS(in);
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

// One password given to every password-encrypted fixture: the files it protects compact, the
// others are refused with Access's words and leave nothing (jet_encrypted_test.cpp goes further).
TEST(JetCompact, CompactsPasswordEncryptedAceFilesWithTheirPasswordOnly) {
  struct Case {
    const char* file;
    bool opens;  // with "Test123"
  };
  for (const Case& c : {
           Case{"db2007-oldenc.accdb", true},
           Case{"db2007-enc.accdb", true},
           Case{"db2013-enc.accdb", false},
           Case{"db-nonstandard.accdb", false},
       }) {
    SCOPED_TRACE(c.file);
    std::string in = test::EncryptedFixture(c.file);
    ORVELLE_REQUIRE_CORPUS(in);
    ScopedTempDir tmp;
    CompactOptions o;
    o.password = "Test123";
    if (c.opens) {
      CompactDatabase(in, tmp.Sub("out.accdb"), o);
      EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{"out.accdb"});
    } else {
      try {
        CompactDatabase(in, tmp.Sub("out.accdb"), o);
        ADD_FAILURE() << "compacted";
      } catch (const CompactError& e) {
        EXPECT_STREQ(e.what(), "Not a valid password.");
      }
      EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{});
    }
  }
}

// Spreading the live pages out and compacting again gives back a file no larger than the
// original (plus a page per table, the slack fixed definition pages may leave) with the same
// content, for every file whose maps can describe the spread-out layout.
TEST(JetCompact, ReclaimsTheGapsOfBloatedFiles) {
  std::vector<std::string> files = CorpusFiles();
  ORVELLE_REQUIRE_CORPUS(files);
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
    // The gaps leave no trace: the same file as compacting the original directly.
    std::string direct = tmp.Sub("direct-" + name);
    CompactDatabase(in, direct);
    EXPECT_EQ(ReadBytes(out), ReadBytes(direct));
    std::printf("[ bloated  ] %-40s %8zu -> %8zu -> %8llu\n", name.c_str(), ReadBytes(in).size(),
                big.size(), static_cast<unsigned long long>(r.bytes_after));
    ++bloated;
  }
  EXPECT_GT(bloated, 60);
}

// Wide gaps push tables past what their inline maps can describe: those maps become reference
// maps on new bitmap pages, and compaction still gets every page back.
TEST(JetCompact, ConvertsMapsThatOutgrowTheirRows) {
  const std::vector<std::string> files = CorpusFiles();
  ORVELLE_REQUIRE_CORPUS(files);
  ScopedTempDir tmp;
  int converted = 0;
  for (const std::string& in : files) {
    if (fs::file_size(in) > 160 * 1024) continue;
    std::string name = fs::path(in).filename().string();
    SCOPED_TRACE(name);
    std::string big = test::Bloat(name, ReadBytes(in), 60);
    auto count_reference = [](Database& db) {
      PageInventory inv = CollectInventory(db);
      return std::count_if(inv.maps.begin(), inv.maps.end(),
                           [](const auto& m) { return m.second.reference; });
    };
    Database original(MemorySource(name, ReadBytes(in)));
    Database spread(MemorySource(name, big));
    CheckReport check = CheckDatabase(spread);
    ASSERT_TRUE(check.Consistent()) << check.findings.front().Describe();
    if (count_reference(spread) == count_reference(original)) continue;
    ++converted;
    std::string bloated_path = tmp.Sub("bloated-" + name), out = tmp.Sub(name);
    WriteBytes(bloated_path, big);
    CompactResult r = CompactDatabase(bloated_path, out);
    std::printf("[ converted ] %-40s %8zu -> %8zu -> %8llu\n", name.c_str(), ReadBytes(in).size(),
                big.size(), static_cast<unsigned long long>(r.bytes_after));
    EXPECT_LE(r.bytes_after,
              ReadBytes(in).size() + original.Catalog().size() * original.PageSize());
    ExpectEquivalent(in, out);
  }
  EXPECT_GT(converted, 3);
}

// A copy of a fixture in a fresh folder, so that a test can watch every file beside it.
struct Workspace {
  ScopedTempDir dir;
  std::string source;
  std::string original;
  explicit Workspace(const std::string& fixture, const std::string& as = "db.mdb")
      : Workspace(Path{test::Fixture(fixture)}, as) {}
  struct Path {
    std::string path;  // "" when absent
  };
  Workspace(const Path& from, const std::string& as) {
    const std::string& path = from.path;
    if (path.empty()) return;
    original = ReadBytes(path);
    source = dir.Sub(as);
    WriteBytes(source, original);
  }
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const CompactError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(JetCompact, RefusesDamagedInputsWithTheCheckersMessage) {
  struct Case {
    const char* name;
    std::function<void(std::string&, Database&)> damage;
    const char* expected;  // the checker's finding
  };
  // Offsets are found through the reader so that the damage lands where intended.
  auto first_page = [](Database& db, PageRole role) {
    PageInventory inv = CollectInventory(db);
    for (uint32_t p = 0; p < inv.page_count; ++p) {
      if (inv.roles[p] == role) return p;
    }
    return 0u;
  };
  const Case cases[] = {
      {"free space of a data page",
       [&](std::string& b, Database& db) {
         uint32_t p = first_page(db, PageRole::kData);
         test::Put16(b, uint64_t{p} * db.PageSize() + 2, 7);
       },
       "data page: free space 7, rows leave"},
      {"index page type",
       [&](std::string& b, Database& db) {
         uint32_t p = first_page(db, PageRole::kIndex);
         b[uint64_t{p} * db.PageSize()] = 0x01;
       },
       "index page: page type 0x1, expected 0x03 (node) or 0x04 (leaf)"},
      {"truncated file",
       [&](std::string& b, Database& db) { b.resize(db.PageCount() / 2 * db.PageSize()); },
       "beyond end of file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace w(Workspace::Path{test::DebianFixture("fruit.mdb")}, "db.mdb");
    ORVELLE_REQUIRE_DEBIAN(w.source);
    std::string bytes = w.original;
    {
      Database db(MemorySource("db.mdb", w.original));
      c.damage(bytes, db);
    }
    WriteBytes(w.source, bytes);
    auto damaged = Database::OpenFile(w.source);
    CheckReport report = CheckDatabase(*damaged);
    ASSERT_FALSE(report.Consistent());
    std::string finding = report.findings.front().Describe();
    EXPECT_NE(finding.find(c.expected), std::string::npos) << finding;
    EXPECT_EQ(Message([&] { CompactDatabase(w.source, w.dir.Sub("out.mdb")); }),
              "Cannot compact \"" + w.source + "\": the database is damaged: " + finding);
    EXPECT_EQ(ReadBytes(w.source), bytes);
    EXPECT_EQ(FilesIn(w.dir.Path()), std::vector<std::string>{"db.mdb"});
  }
}

TEST(JetCompact, NeverPublishesAnOutputThatFailsVerification) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* expected;
  };
  const Case cases[] = {
      {"rows changed",
       [](const std::string& temp) {
         std::string b = ReadBytes(temp);
         size_t at = b.find(std::string("\x02\x00v\x00u\x00", 6));
         ASSERT_NE(at, std::string::npos);
         b[at + 4] = 'w';
         WriteBytes(temp, b);
       },
       "the compacted copy differs from the database: table \"Table\": row contents differ (1 "
       "of 2 sorted rows)"},
      {"global map damaged",
       [](const std::string& temp) {
         std::string b = ReadBytes(temp);
         b[4096 + 4096 - 69 + 5] = static_cast<char>(0xFF);  // page 1 row 0: pages 0..7 free
         WriteBytes(temp, b);
       },
       "the compacted copy failed the structural check: page 0: global usage map marks the page "
       "free, but it is a header of table definition 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace w("V2010-delTestV2010.accdb", "db.accdb");
    ORVELLE_REQUIRE_CORPUS(w.source);
    CompactOptions o;
    o.before_verify = c.damage;
    std::string target = w.dir.Sub("out.accdb");
    EXPECT_EQ(Message([&] { CompactDatabase(w.source, target, o); }),
              "Cannot compact \"" + w.source + "\": " + c.expected);
    EXPECT_EQ(FilesIn(w.dir.Path()), std::vector<std::string>{"db.accdb"});
    EXPECT_EQ(ReadBytes(w.source), w.original);
  }
}

TEST(JetCompact, RefusesAnExistingTargetAndAMissingFolder) {
  Workspace w("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(w.source);
  std::string existing = w.dir.Sub("existing.mdb");
  WriteBytes(existing, "keep me");
  EXPECT_EQ(Message([&] { CompactDatabase(w.source, existing); }),
            "Cannot compact \"" + w.source + "\": the target \"" + existing + "\" already exists");
  EXPECT_EQ(ReadBytes(existing), "keep me");
  std::string missing = w.dir.Sub("missing/out.mdb");
  // Then the system's own words for a missing folder.
  const std::string prefix = "Cannot compact \"" + w.source +
                             "\": cannot create a temporary file beside \"" + missing + "\": ";
  const std::string message = Message([&] { CompactDatabase(w.source, missing); });
  EXPECT_EQ(message.substr(0, prefix.size()), prefix);
  EXPECT_GT(message.size(), prefix.size());
  EXPECT_EQ(FilesIn(w.dir.Path()), (std::vector<std::string>{"db.mdb", "existing.mdb"}));
  EXPECT_EQ(ReadBytes(w.source), w.original);
}

TEST(JetCompact, ChecksTheStoredPassword) {
  for (const char* fixture : {"V1997-testV1997.mdb", "V2000-testPromotionV2000.mdb"}) {
    SCOPED_TRACE(fixture);
    Workspace w(fixture);
    ORVELLE_REQUIRE_CORPUS(w.source);
    std::string bytes = w.original;
    test::SetStoredPassword(bytes, "s3cret");
    WriteBytes(w.source, bytes);
    EXPECT_EQ(StoredPassword(bytes.substr(0, 4096)), "s3cret");
    CompactOptions wrong, right;
    wrong.password = "S3cret";
    right.password = "s3cret";
    std::string out = w.dir.Sub("out.mdb");
    EXPECT_EQ(Message([&] { CompactDatabase(w.source, out); }), "Not a valid password.");
    EXPECT_EQ(Message([&] { CompactDatabase(w.source, out, wrong); }), "Not a valid password.");
    EXPECT_FALSE(PathExists(out));
    CompactDatabase(w.source, out, right);
    EXPECT_EQ(StoredPassword(ReadBytes(out).substr(0, 4096)), "s3cret");
  }
}

TEST(JetCompact, FindsNoPasswordInTheCorpus) {
  const std::vector<std::string> files = CorpusFiles();
  ORVELLE_REQUIRE_CORPUS(files);
  for (const std::string& in : files) {
    EXPECT_EQ(StoredPassword(ReadBytes(in).substr(0, 4096)), "") << in;
  }
}

TEST(JetCompact, NamesTheLockFilesOfADatabaseAndItsWorkingCopies) {
  using V = std::vector<std::string>;
  EXPECT_EQ(LockFileCandidates("/d/a.mdb"), V{"/d/a.ldb"});
  EXPECT_EQ(LockFileCandidates("/d/a.ACCDB"), V{"/d/a.laccdb"});
  EXPECT_EQ(LockFileCandidates("/d/a.bak"), (V{"/d/a.ldb", "/d/a.laccdb"}));
  EXPECT_EQ(LockFileCandidates("/d/a.mdb.1.bak"),
            (V{"/d/a.mdb.1.ldb", "/d/a.mdb.1.laccdb", "/d/a.ldb"}));
  EXPECT_EQ(LockFileCandidates("/d.x/a"), (V{"/d.x/a.ldb", "/d.x/a.laccdb"}));
}

// Refused inputs: damage found by the checker, and columns whose bytes nobody can vouch for.
TEST(JetCompact, RefusesTheCorpusFilesItCannotVouchFor) {
  struct Case {
    const char* file;
    const char* why;
  };
  const Case cases[] = {
      {"debian-fp-units-db-testodbc.mdb",
       "the database is damaged: page 19: data page: row 16: variable offset 0 is 0x6F, outside "
       "0x0..0x69"},
      {"V2007-unsupportedFieldsTestV2007.accdb",
       "the database cannot be compacted: page 143: table \"Test\" column \"UnknownVar\" has the "
       "unknown type 0x46 and holds data (page 143 row 0); its values might name pages, which "
       "cannot be moved safely"},
  };
  for (const Case& c : cases) {
    std::string in = test::Fixture(c.file);
    ORVELLE_REQUIRE_CORPUS(in);
    ScopedTempDir tmp;
    EXPECT_EQ(Message([&] { CompactDatabase(in, tmp.Sub("out.mdb")); }),
              "Cannot compact \"" + in + "\": " + c.why);
    EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace orvelle::jet
