// The orvelle-jet program: output and exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "jet/compact.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace orvelle::jet {
namespace {

struct Result {
  int status;
  std::string out;
};

Result RunTool(const std::string& args) {
  orvelle::test::ScopedTempDir dir;
  std::string out = dir.Sub("out.txt");
  int rc = std::system(
      ("\"" + orvelle::test::BuiltProgram("orvelle-jet") + "\" " + args + " >\"" + out + "\" 2>&1")
          .c_str());
#ifndef _WIN32
  rc = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
  return {rc, orvelle::test::ReadBytes(out)};
}

// cmd.exe's quote stripping makes std::system unreliable for quoted paths on Windows; the
// program's code is the same on every platform.
#ifdef _WIN32
#define JET_SKIP_ON_WINDOWS() GTEST_SKIP() << "runs the program through the POSIX shell"
#else
#define JET_SKIP_ON_WINDOWS() (void)0
#endif

TEST(JetTool, InfoPrintsFormatTablesPagesAndVerdict) {
  JET_SKIP_ON_WINDOWS();
  std::string path = test::Fixture("V1997-delTestV1997.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  Result r = RunTool("info \"" + path + "\"");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "file: " + path +
                       "\n"
                       "format: Jet3, page size 2048, 32 pages\n"
                       "tables: 1 user, 6 system\n"
                       "  [system] MSysObjects: 19 rows, 5 pages\n"
                       "  [system] MSysACEs: 58 rows, 4 pages\n"
                       "  [system] MSysQueries: 0 rows, 2 pages\n"
                       "  [system] MSysRelationships: 0 rows, 4 pages\n"
                       "  [system] MSysModules2: 1 rows, 4 pages\n"
                       "  [system] MSysModules: 0 rows, 1 pages\n"
                       "  Table: 2 rows, 2 pages\n"
                       "pages: 32 live, 0 free, 0 leaked\n"
                       "reclaimable by compaction: 5 pages (10240 bytes)\n"
                       "verdict: consistent\n");
}

TEST(JetTool, InfoExitStatusFollowsTheVerdict) {
  JET_SKIP_ON_WINDOWS();
  const std::tuple<const char*, bool, int, const char*> cases[] = {
      {"V2000-testV2000.mdb", false, 0, "verdict: consistent (with leaked pages)\n"},
      {"debian-fp-units-db-testodbc.mdb", false, 1, "verdict: inconsistent (7 errors)\n"},
      {"db2007-enc.accdb", true, 2, "verdict: unreadable\n"},
  };
  for (const auto& [name, encrypted, status, last] : cases) {
    std::string path = encrypted ? test::EncryptedFixture(name) : test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(name);
    Result r = RunTool("info \"" + path + "\"");
    EXPECT_EQ(r.status, status);
    ASSERT_GE(r.out.size(), std::string(last).size());
    EXPECT_EQ(r.out.substr(r.out.size() - std::string(last).size()), last);
  }
}

// The line must agree with what the compactor really does, not with the count of unused pages.
// The figure is what the compactor drops: the full compactor's, or where it gives up, the
// page slide's, which keeps the unused pages below a table definition.
TEST(JetTool, InfoReclaimableLineFollowsTheCompactor) {
  JET_SKIP_ON_WINDOWS();
  const std::pair<const char*, const char*> cases[] = {
      {"V2000-testV2000.mdb", "698 pages (2859008 bytes)"},
      {"V2010-calcFieldTestV2010.accdb", "75 pages (307200 bytes)"},
      {"V2007-unsupportedFieldsTestV2007.accdb",
       "none, page 143: table \"Test\" column \"UnknownVar\" has the unknown type 0x46 and "
       "holds data (page 143 row 0); its values might name pages, which cannot be moved safely"},
      {"debian-fp-units-db-testodbc.mdb", "none, the database is damaged"},
  };
  for (const auto& [name, reclaimable] : cases) {
    std::string path = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    SCOPED_TRACE(name);
    Result r = RunTool("info \"" + path + "\"");
    std::string line = "\nreclaimable by compaction: " + std::string(reclaimable) + "\n";
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  }
}

// A folder: every database under it, sub-folders included, one line each, and the total. Lock
// files, other files and a link back up the tree are passed over; the numbers are what
// compaction then reclaims.
TEST(JetTool, InfoOnAFolderListsEveryDatabaseUnderItAndTheTotal) {
  JET_SKIP_ON_WINDOWS();
  const std::string monitor = test::DebianFixture("Monitor.mdb");
  const std::string damaged = test::DebianFixture("testodbc.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor, damaged);
  orvelle::test::ScopedTempDir dir;
  const std::string plain = orvelle::test::ReadBytes(monitor);
  const std::string bloated = test::Bloat("Monitor.mdb", plain, 3);
  orvelle::test::WriteBytes(dir.Sub("share/Monitor.mdb"), plain);
  orvelle::test::WriteBytes(dir.Sub("share/b/Grown.MDB"), bloated);
  orvelle::test::WriteBytes(dir.Sub("share/b/c/odbc.mdb"), orvelle::test::ReadBytes(damaged));
  orvelle::test::WriteBytes(dir.Sub("share/b/junk.accdb"), std::string(4096, 'x'));
  orvelle::test::WriteBytes(dir.Sub("share/Monitor.ldb"), std::string(64, '\0'));
  orvelle::test::WriteBytes(dir.Sub("share/notes.txt"), "not a database");
  std::filesystem::create_directory_symlink("..", dir.Sub("share/b/up"));

  // What compaction reclaims from each readable copy.
  auto reclaimed = [&](const std::string& file) {
    const std::string out = dir.Sub("compacted.mdb");
    std::filesystem::remove(out);
    CompactResult c = CompactDatabase(file, out);
    return c.bytes_before - c.bytes_after;
  };
  const uint64_t grown = reclaimed(dir.Sub("share/b/Grown.MDB"));
  const uint64_t as_is = reclaimed(dir.Sub("share/Monitor.mdb"));
  ASSERT_GT(grown, as_is);
  auto percent = [](uint64_t part, uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * part / whole);
    return std::string(text);
  };
  auto line = [&](const char* name, uint64_t bytes, uint64_t reclaim, const char* verdict) {
    return "  " + std::string(name) + ": " + std::to_string(bytes) + " bytes, " +
           std::to_string(reclaim) + " reclaimable (" + percent(reclaim, bytes) + "), " + verdict +
           "\n";
  };
  const uint64_t total = plain.size() + bloated.size() + 81920;
  Result r = RunTool("info \"" + dir.Sub("share") + "\"");
  EXPECT_EQ(r.status, 2);
  std::string junk_error;
  try {
    Database::OpenFile(dir.Sub("share/b/junk.accdb"));
  } catch (const JetError& e) {
    junk_error = e.Detail();
  }
  ASSERT_FALSE(junk_error.empty());
  EXPECT_EQ(r.out, "folder: " + dir.Sub("share") + "\n" +
                       line("Monitor.mdb", plain.size(), as_is, "consistent") +
                       line("b/Grown.MDB", bloated.size(), grown, "consistent") +
                       line("b/c/odbc.mdb", 81920, 0, "inconsistent (7 errors)") +
                       "  b/junk.accdb: unreadable: " + junk_error + "\ntotal: 4 databases, " +
                       std::to_string(total) + " bytes, " + std::to_string(grown + as_is) +
                       " reclaimable (" + percent(grown + as_is, total) +
                       "); 1 inconsistent, 1 unreadable\n");

  std::filesystem::remove_all(dir.Sub("share/b"));
  Result clean = RunTool("info \"" + dir.Sub("share") + "\"");
  EXPECT_EQ(clean.status, 0) << clean.out;
  Result empty = RunTool("info \"" + dir.Sub("nothing") + "\"");
  EXPECT_EQ(empty.status, 2);
}

TEST(JetTool, CompareAndUsage) {
  JET_SKIP_ON_WINDOWS();
  std::string a = test::Fixture("V2000-testV2000.mdb");
  std::string b = test::Fixture("V2000-testRefGlobalV2000.mdb");
  std::string c = test::Fixture("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(a);
  ORVELLE_REQUIRE_CORPUS(b);
  ORVELLE_REQUIRE_CORPUS(c);
  Result same = RunTool("compare \"" + a + "\" \"" + b + "\"");
  EXPECT_EQ(same.status, 0);
  EXPECT_NE(same.out.find("same: table \"Table1\": 2 rows, 2 indexes\n"), std::string::npos);
  Result diff = RunTool("compare \"" + a + "\" \"" + c + "\"");
  EXPECT_EQ(diff.status, 1);
  EXPECT_NE(diff.out.find("different: table \"Table\" only in the second file\n"),
            std::string::npos);
  Result usage = RunTool("frobnicate");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out,
            "usage: orvelle-jet info [--password=PWD] FILE|FOLDER...\n"
            "       orvelle-jet compare [--password=PWD] A B\n"
            "       orvelle-jet compact [--password=PWD] IN OUT\n");
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The program writes exactly what the library writes, and says so in numbers.
TEST(JetTool, CompactWritesTheVerifiedCopyAndReportsTheSizes) {
  JET_SKIP_ON_WINDOWS();
  std::string fixture = test::Fixture("V2010-calcFieldTestV2010.accdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  orvelle::test::ScopedTempDir dir;
  const std::string in = dir.Sub("in.accdb"), out = dir.Sub("out.accdb");
  std::string bytes = orvelle::test::ReadBytes(fixture);
  orvelle::test::WriteBytes(in, bytes);
  Result r = RunTool("compact \"" + in + "\" \"" + out + "\"");
  EXPECT_EQ(r.status, 0);
  // Then one line per pinned table, naming where its id was found.
  const std::string head = "compacted: " + in + " -> " + out +
                           "\n"
                           "page size: 4096\n"
                           "pages: 174 -> 99\n"
                           "bytes: 712704 -> 405504 (307200 bytes reclaimed, 43.1%)\n"
                           "compaction: full (rows, long values and indexes rewritten)\n"
                           "tables moved: 13, pinned: 12\n"
                           "pinned table \"MSysACEs\" (id 3): MSysAccessStorage column \"Id\"; ";
  const std::string tail = "verified: structural check passed, equivalent to the source\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  size_t pinned = 0;
  for (size_t at = r.out.find("\npinned table "); at != std::string::npos;
       at = r.out.find("\npinned table ", at + 1)) {
    ++pinned;
  }
  EXPECT_EQ(pinned, 12u);
  CompactDatabase(in, dir.Sub("library.accdb"));
  EXPECT_EQ(orvelle::test::ReadBytes(out), orvelle::test::ReadBytes(dir.Sub("library.accdb")));
  EXPECT_EQ(orvelle::test::ReadBytes(in), bytes);
}

TEST(JetTool, CompactRefusesWithTheReasonAndWritesNothing) {
  JET_SKIP_ON_WINDOWS();
  std::string fixture = test::Fixture("V2000-delTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  const std::string original = orvelle::test::ReadBytes(fixture);
  std::string with_password = original;
  test::SetStoredPassword(with_password, "s3cret");
  struct Case {
    const char* name;
    std::string bytes;
    bool target_exists;
    const char* options;
    const char* reason;  // after "Cannot compact "IN": "; empty: the whole message is given
  };
  const Case cases[] = {
      {"existing target", original, true, "", "the target \"OUT\" already exists"},
      {"truncated input", original.substr(0, original.size() - 3 * 4096), false, "",
       "the database is damaged: page 6: table \"MSysObjects\" column 16 long-value map at page 6 "
       "row 14: lists page 32 beyond end of file (1 pages)"},
      {"no password", with_password, false, "", ""},
      {"wrong password", with_password, false, " --password=S3cret", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    orvelle::test::ScopedTempDir dir;
    const std::string in = dir.Sub("in.mdb"), out = dir.Sub("out.mdb");
    orvelle::test::WriteBytes(in, c.bytes);
    if (c.target_exists) orvelle::test::WriteBytes(out, "keep me");
    Result r = RunTool("compact \"" + in + "\" \"" + out + "\"" + c.options);
    EXPECT_EQ(r.status, 1);
    std::string reason = c.reason;
    for (size_t at; (at = reason.find("OUT")) != std::string::npos;) reason.replace(at, 3, out);
    EXPECT_EQ(r.out, "orvelle-jet: " +
                         (reason.empty() ? std::string("Not a valid password.")
                                         : "Cannot compact \"" + in + "\": " + reason) +
                         "\n");
    EXPECT_EQ(orvelle::test::ReadBytes(in), c.bytes);
    EXPECT_EQ(FilesIn(dir.Path()), c.target_exists ? (std::vector<std::string>{"in.mdb", "out.mdb"})
                                                   : std::vector<std::string>{"in.mdb"});
    if (c.target_exists) {
      EXPECT_EQ(orvelle::test::ReadBytes(out), "keep me");
    }
  }
  orvelle::test::ScopedTempDir dir;
  orvelle::test::WriteBytes(dir.Sub("in.mdb"), with_password);
  Result right = RunTool("compact --password=s3cret \"" + dir.Sub("in.mdb") + "\" \"" +
                         dir.Sub("out.mdb") + "\"");
  EXPECT_EQ(right.status, 0) << right.out;
  EXPECT_EQ(StoredPassword(orvelle::test::ReadBytes(dir.Sub("out.mdb")).substr(0, 4096)), "s3cret");
}

// --password opens a password-encrypted file for every command; without it each says why.
TEST(JetTool, EveryCommandTakesThePasswordOfAnEncryptedFile) {
  JET_SKIP_ON_WINDOWS();
  std::string path = test::EncryptedFixture("db2013-enc.accdb");
  ORVELLE_REQUIRE_CORPUS(path);
  orvelle::test::ScopedTempDir dir;
  const std::string in = dir.Sub("in.accdb"), out = dir.Sub("out.accdb");
  orvelle::test::WriteBytes(in, orvelle::test::ReadBytes(path));
  const std::string q = "\"" + in + "\"";

  Result info = RunTool("info --password=1234 " + q);
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("\nencryption: agile AES-256-CBC, SHA-512, spin count 100000 (version "
                          "4.4)\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("\nverdict: consistent"), std::string::npos) << info.out;
  for (const char* password : {"", " --password=12345"}) {
    Result refused = RunTool("info " + q + password);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "file: " + in + "\nerror: Not a valid password.\nverdict: unreadable\n");
  }

  Result compact = RunTool("compact " + q + " \"" + out + "\" --password=1234");
  EXPECT_EQ(compact.status, 0) << compact.out;
  Result same = RunTool("compare --password=1234 " + q + " \"" + out + "\"");
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_NE(same.out.find("\nverdict: equivalent\n"), std::string::npos) << same.out;
  Result locked = RunTool("compare " + q + " \"" + out + "\"");
  EXPECT_EQ(locked.status, 2);
  EXPECT_EQ(locked.out, "error: " + in + ": Not a valid password.\nverdict: unreadable\n");
}

}  // namespace
}  // namespace orvelle::jet
