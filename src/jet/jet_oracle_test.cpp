// Row counts and row contents of every fixture agree with two independent readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "jet/database.h"
#include "jet/testtools/jet_oracle.h"
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

bool Readable(const std::string& file) {
  try {
    Database::OpenFile(file);
    return true;
  } catch (const JetError&) {
    return false;  // password-encrypted ACE files; covered by the reader tests
  }
}

void CompareWithOracle(const char* oracle,
                       TableDump (*dump)(const std::string&, const std::string&)) {
  std::vector<std::string> files = FixtureFiles();
  if (files.empty()) GTEST_SKIP() << "no Access fixtures (set ORVELLE_FIXTURES)";
  int tables = 0;
  for (const std::string& file : files) {
    if (!Readable(file)) continue;
    auto db = Database::OpenFile(file);
    for (const std::string& table : test::UserTables(*db)) {
      std::string base = fs::path(file).filename().string();
      if (test::OracleKnownWrong(base, table, oracle)) continue;
      SCOPED_TRACE(base + " table " + table + " vs " + oracle);
      TableDump own = test::OwnDump(*db, table);
      TableDump theirs;
      try {
        theirs = dump(file, table);
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
  CompareWithOracle("mdbtools", &test::MdbExportDump);
}

TEST(JetOracle, RowsAgreeWithMdbReader) {
  std::string why;
  if (!test::MdbReaderAvailable(&why)) GTEST_SKIP() << why;
  CompareWithOracle("mdb-reader", &test::MdbReaderDump);
}

}  // namespace
}  // namespace orvelle::jet
