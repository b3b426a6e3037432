// Row counts and row contents of every fixture agree with two independent readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "jet/compact.h"
#include "jet/database.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "jet/testtools/office_fixtures.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using test::Canonical;
using test::TableDump;

std::vector<std::string> FixtureFiles() {
  std::vector<std::string> files;
  for (const std::string& dir :
       {orvelle::test::AccessFixturesDir(), orvelle::test::EncryptedFixturesDir()}) {
    if (dir.empty()) continue;
    for (const auto& e : fs::directory_iterator(dir)) {
      std::string ext = e.path().extension().string();
      if (ext == ".mdb" || ext == ".accdb") files.push_back(e.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string PasswordOf(const std::string& file) {
  return test::FixturePassword(fs::path(file).filename().string());
}

using Dumper = std::function<TableDump(const std::string&, const std::string&, const std::string&)>;

// Every fixture, password-encrypted ones with their password where the oracle decrypts them.
void CompareWithOracle(const char* oracle, const Dumper& dump, bool decrypts) {
  std::vector<std::string> files = FixtureFiles();
  ORVELLE_REQUIRE_CORPUS(files);
  int tables = 0;
  for (const std::string& file : files) {
    const std::string password = PasswordOf(file);
    if (!password.empty() && !decrypts) continue;
    auto db = Database::OpenFile(file, password);
    for (const std::string& table : test::UserTables(*db)) {
      std::string base = fs::path(file).filename().string();
      if (test::OracleKnownWrong(base, table, oracle)) continue;
      SCOPED_TRACE(base + " table " + table + " vs " + oracle);
      TableDump own = test::OwnDump(*db, table);
      TableDump theirs;
      try {
        theirs = dump(file, table, password);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        continue;
      }
      if (own.rows.size() != theirs.rows.size()) {
        ADD_FAILURE() << "row count " << own.rows.size() << ", " << oracle << " "
                      << theirs.rows.size();
        continue;
      }
      std::vector<std::string> a = Canonical(own, own), b = Canonical(own, theirs);
      for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
          ADD_FAILURE() << "first differing row:\n ours:   " << a[i] << "\n theirs: " << b[i];
          break;
        }
      }
      ++tables;
    }
  }
  EXPECT_GT(tables, 0);
}

TEST(JetOracle, RowsAgreeWithMdbTools) {
  std::string why;
  if (!test::MdbToolsAvailable(&why)) GTEST_SKIP() << why;
  // mdbtools cannot decrypt password-encrypted ACE files.
  CompareWithOracle(
      "mdbtools",
      [](const std::string& f, const std::string& t, const std::string&) {
        return test::MdbExportDump(f, t);
      },
      false);
}

TEST(JetOracle, RowsAgreeWithMdbReader) {
  std::string why;
  if (!test::MdbReaderAvailable(&why)) GTEST_SKIP() << why;
  CompareWithOracle(
      "mdb-reader",
      [](const std::string& f, const std::string& t, const std::string& p) {
        return test::MdbReaderDump(f, t, p);
      },
      true);
}

// mdb-reader, given the password, reads the same rows from the agile AES-256 database before
// and after compaction (the one encrypted fixture it decrypts, see test::OracleKnownWrong).
TEST(JetOracle, MdbReaderReadsTheSameRowsFromAnEncryptedFileAfterCompaction) {
  std::string why;
  if (!test::MdbReaderAvailable(&why)) GTEST_SKIP() << why;
  int tables = 0;
  for (const char* name : {"db2013-enc.accdb"}) {
    const std::string in = test::EncryptedFixture(name);
    ORVELLE_REQUIRE_CORPUS(in);
    SCOPED_TRACE(name);
    orvelle::test::ScopedTempDir tmp;
    const std::string out = tmp.Sub(name);
    CompactOptions o;
    o.password = test::FixturePassword(name);
    CompactDatabase(in, out, o);
    auto db = Database::OpenFile(out, *o.password);
    for (const std::string& table : test::UserTables(*db)) {
      SCOPED_TRACE(table);
      TableDump own = test::OwnDump(*db, table);
      TableDump before = test::MdbReaderDump(in, table, *o.password);
      TableDump after = test::MdbReaderDump(out, table, *o.password);
      EXPECT_EQ(Canonical(own, after), Canonical(own, before));
      EXPECT_EQ(Canonical(own, after), Canonical(own, own));
      EXPECT_FALSE(after.rows.empty());
      ++tables;
    }
    // Without the password mdb-reader cannot read the copy either.
    EXPECT_THROW(test::MdbReaderDump(out, test::UserTables(*db).front()), std::runtime_error);
  }
  EXPECT_GT(tables, 0);
}

}  // namespace
}  // namespace orvelle::jet
