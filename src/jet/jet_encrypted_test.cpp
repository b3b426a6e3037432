// Password-encrypted ACE files: every scheme of the encrypted fixtures (and standard AES, made
// from a plain fixture with the known-answer descriptor) is read, checked and compacted with its
// password; the copy keeps the encryption; wrong passwords and damaged headers are refused.
#include <gtest/gtest.h>

#include <filesystem>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/jet_oracle.h"
#include "jet/testtools/office_fixtures.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;
using orvelle::test::WriteBytes;

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// An encrypted database to test with: its bytes, its password and its scheme.
struct Encrypted {
  std::string name, bytes, password, scheme;
};

// The encrypted fixtures with a password, and a standard-AES copy of a plain fixture (no
// fixture has that scheme); empty when the fixtures are absent.
std::vector<Encrypted> EncryptedDatabases() {
  std::vector<Encrypted> out;
  for (const test::EncryptedCase& c : test::PasswordFixtures()) {
    std::string path = test::EncryptedFixture(c.file);
    if (!path.empty()) out.push_back({c.file, ReadBytes(path), c.password, c.scheme});
  }
  std::string plain = test::Fixture("V2010-testV2010.accdb");
  if (!plain.empty()) {
    out.push_back({"standard-aes.accdb",
                   test::EncryptAceImage(ReadBytes(plain),
                                         test::VectorDescriptor(test::VectorScheme::kStandardAes),
                                         test::kVectorDatabaseKey, test::kVectorPassword),
                   test::kVectorPassword,
                   "standard AES-128-ECB, SHA-1, spin count 50000 (version 4.2)"});
  }
  return out;
}

std::string OpenError(const std::string& path, const std::string& password) {
  try {
    Database::OpenFile(path, password);
  } catch (const PasswordError& e) {
    return "password: " + e.Detail();
  } catch (const JetError& e) {
    return e.Detail();
  }
  return "opened";
}

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(JetEncrypted, ReadsAndChecksEachSchemeWithItsPassword) {
  std::vector<Encrypted> dbs = EncryptedDatabases();
  ORVELLE_REQUIRE_CORPUS(dbs);
  for (const Encrypted& e : dbs) {
    SCOPED_TRACE(e.name);
    Database db(MemorySource(e.name, e.bytes), e.password);
    ASSERT_TRUE(db.GetHeader().office.has_value());
    EXPECT_FALSE(db.GetHeader().encoded());
    EXPECT_EQ(db.GetHeader().office->Describe(), e.scheme);
    CheckReport r = CheckDatabase(db);
    EXPECT_TRUE(r.Consistent()) << (r.findings.empty() ? "" : r.findings.front().Describe());
    size_t rows = 0;
    for (const std::string& table : test::UserTables(db))
      rows += test::OwnDump(db, table).rows.size();
    EXPECT_GT(rows, 0u);
  }
}

// Every user table's rows, table by table.
std::vector<std::vector<std::vector<std::string>>> AllRows(Database& db) {
  std::vector<std::vector<std::vector<std::string>>> out;
  for (const std::string& table : test::UserTables(db))
    out.push_back(test::OwnDump(db, table).rows);
  return out;
}

// A reader may take the page keys of another (the readers of one file, or a copy that keeps its
// source's page 0) only when both have the same page 0 and the same password: given the keys of
// another file, it derives its own, and a wrong password is refused whatever it is lent.
TEST(JetEncrypted, BorrowsPageKeysOnlyForTheSamePageZeroAndPassword) {
  std::vector<Encrypted> dbs = EncryptedDatabases();
  ORVELLE_REQUIRE_CORPUS(dbs);
  ASSERT_GE(dbs.size(), 2u);
  for (size_t i = 0; i < dbs.size(); ++i) {
    const Encrypted& e = dbs[i];
    const Encrypted& other = dbs[(i + 1) % dbs.size()];
    SCOPED_TRACE(e.name + " lent the keys of " + other.name);
    Database own(MemorySource(e.name, e.bytes), e.password);
    const auto rows = AllRows(own);
    Database same(MemorySource(e.name, e.bytes), e.password);
    Database foreign(MemorySource(other.name, other.bytes), other.password);
    for (const Database* lender : {&same, &foreign}) {
      Database db(MemorySource(e.name, e.bytes), e.password, lender);
      CheckReport r = CheckDatabase(db);
      EXPECT_TRUE(r.Consistent()) << (r.findings.empty() ? "" : r.findings.front().Describe());
      EXPECT_EQ(AllRows(db), rows);
      EXPECT_THROW(Database(MemorySource(e.name, e.bytes), e.password + "x", lender),
                   PasswordError);
    }
  }
}

// The copy opens with the password and no other, holds what the input holds, keeps page 0 (and
// with it the descriptor) byte for byte, and is encrypted page by page.
void ExpectEncryptedCopy(const Encrypted& e, const std::string& in, const std::string& out) {
  auto source = Database::OpenFile(in, e.password);
  auto copy = Database::OpenFile(out, e.password);
  CheckReport r = CheckDatabase(*copy);
  EXPECT_TRUE(r.Consistent()) << (r.findings.empty() ? "" : r.findings.front().Describe());
  CompareReport same = CompareDatabases(*source, *copy);
  EXPECT_TRUE(same.Equivalent()) << (same.differences.empty() ? "" : same.differences.front());
  EXPECT_EQ(OpenError(out, ""), "password: Not a valid password.");
  EXPECT_EQ(OpenError(out, e.password + "x"), "password: Not a valid password.");
  const std::string bytes = ReadBytes(out);
  EXPECT_NE(bytes, ReadBytes(in));
  EXPECT_EQ(bytes.substr(0, 4096), ReadBytes(in).substr(0, 4096));
  size_t plain_pages = 0;
  for (uint32_t pn = 1; pn < copy->PageCount(); ++pn) {
    Page p = copy->ReadPage(pn, "test");
    if (bytes.compare(size_t{pn} * 4096, 4096, reinterpret_cast<const char*>(p->data()), 4096) ==
        0) {
      ++plain_pages;
    }
  }
  EXPECT_EQ(plain_pages, 0u) << "pages stored unencrypted";
}

TEST(JetEncrypted, CompactsEachSchemeIntoACopyEncryptedAlike) {
  std::vector<Encrypted> dbs = EncryptedDatabases();
  ORVELLE_REQUIRE_CORPUS(dbs);
  for (const Encrypted& e : dbs) {
    SCOPED_TRACE(e.name);
    ScopedTempDir tmp;
    const std::string in = tmp.Sub(e.name), out = tmp.Sub("out.accdb");
    WriteBytes(in, e.bytes);
    CompactOptions o;
    o.password = e.password;
    CompactResult r = CompactDatabase(in, out, o);
    EXPECT_LE(r.pages_after, r.pages_before);
    ExpectEncryptedCopy(e, in, out);
    // Compacting the copy again changes nothing: the pages were encrypted under their numbers.
    CompactDatabase(out, tmp.Sub("again.accdb"), o);
    EXPECT_EQ(ReadBytes(tmp.Sub("again.accdb")), ReadBytes(out));
    EXPECT_EQ(ReadBytes(in), e.bytes);
  }
}

// Spread out first, every page that can move lies far above its place: compaction decrypts it
// under its old number and encrypts it under its new one.
TEST(JetEncrypted, ReencryptsEveryMovedPageUnderItsNewNumber) {
  std::vector<Encrypted> dbs = EncryptedDatabases();
  ORVELLE_REQUIRE_CORPUS(dbs);
  for (const Encrypted& e : dbs) {
    SCOPED_TRACE(e.name);
    ScopedTempDir tmp;
    const std::string bloated = tmp.Sub("bloated.accdb"), out = tmp.Sub("out.accdb");
    WriteBytes(bloated, test::Bloat(e.name, e.bytes, 5, e.password));
    WriteBytes(tmp.Sub(e.name), e.bytes);
    CompactOptions o;
    o.password = e.password;
    CompactResult r = CompactDatabase(bloated, out, o);
    EXPECT_LT(r.pages_after, r.pages_before);
    ExpectEncryptedCopy(e, bloated, out);
    auto original = Database::OpenFile(tmp.Sub(e.name), e.password);
    auto copy = Database::OpenFile(out, e.password);
    EXPECT_TRUE(CompareDatabases(*original, *copy).Equivalent());
  }
}

TEST(JetEncrypted, WrongOrMissingPasswordLeavesNothingBehind) {
  std::vector<Encrypted> dbs = EncryptedDatabases();
  ORVELLE_REQUIRE_CORPUS(dbs);
  for (const Encrypted& e : dbs) {
    for (const char* given : {"", "wrong", "-"}) {
      SCOPED_TRACE(e.name + " with \"" + given + "\"");
      ScopedTempDir tmp;
      const std::string in = tmp.Sub(e.name);
      WriteBytes(in, e.bytes);
      CompactOptions o;
      // "-": no password at all; "": an empty one; both are missing passwords.
      if (std::string(given) != "-") o.password = given;
      EXPECT_EQ(Message([&] { CompactDatabase(in, tmp.Sub("out.accdb"), o); }),
                "Not a valid password.");
      EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{e.name});
      EXPECT_EQ(ReadBytes(in), e.bytes);
      EXPECT_EQ(OpenError(in, given), "password: Not a valid password.");
    }
  }
}

TEST(JetEncrypted, RefusesDamagedEncryptionHeadersWithTheirCause) {
  std::vector<test::DamagedHeader> cases = test::DamagedEncryptionHeaders();
  ORVELLE_REQUIRE_CORPUS(cases);
  for (const test::DamagedHeader& c : cases) {
    SCOPED_TRACE(c.name);
    // Refused whatever the password: the header is read before any key is derived.
    for (const char* password : {"", "1234", "password", "Test123"}) {
      try {
        Database db(MemorySource("damaged.accdb", c.bytes), password);
        ADD_FAILURE() << "opened with \"" << password << "\"";
      } catch (const PasswordError& e) {
        ADD_FAILURE() << "reported as a password error: " << e.what();
      } catch (const JetError& e) {
        EXPECT_EQ(e.Detail(), c.message);
        EXPECT_EQ(e.File(), "damaged.accdb");
      }
    }
  }
}

}  // namespace
}  // namespace orvelle::jet
