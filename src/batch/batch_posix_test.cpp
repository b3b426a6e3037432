#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "deadline_posix.h"
#include "jobs/testtools/project_fixture.h"
#include "platform/fs.h"

namespace orvelle {
namespace {

using test::WriteBytes;

TEST(BatchTest, NormalizePathTable) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"file:///data/a.mdb", "/data/a.mdb"},
      {"file:/data/a.mdb", "/data/a.mdb"},
      {"file://localhost/data/a.mdb", "/data/a.mdb"},
      {"file://LOCALHOST/data", "/data"},
      {"file://server/share/a.mdb", "//server/share/a.mdb"},
      {"file:///data/my%20db%2Ea.mdb", "/data/my db.a.mdb"},
      {"file:///data/100%", "/data/100%"},  // a lone "%" stays
      {"file:///data/*.mdb", "/data/*.mdb"},
      {"file:", ""},
      {"file:///", ""},
      {"/data/a.mdb", "/data/a.mdb"},
      {"FILE:///data", "FILE:///data"},  // only the exact prefix is an address
      {"http://host/a.mdb", "http://host/a.mdb"},
  };
  for (const auto& c : cases) EXPECT_EQ(TkxBatch::NormalizePath(c.in), c.out) << c.in;
}

class BatchSearchTest : public testing::ProjectFixture {
 protected:
  // Every node of a finished search, in hand-out order.
  std::vector<std::string> Run(const std::string& source, bool subdirs) {
    TkxBatch batch;
    batch.Setup(source, Dir("out"), subdirs);
    std::vector<std::string> found;
    while (TkxNode* node = batch.NextNode()) found.push_back(node->Source);
    EXPECT_EQ(batch.Count(), static_cast<int>(found.size()));
    return found;
  }
  // The names a search of src/ with `mask` finds, without the folder, sorted.
  std::vector<std::string> NamesFound(const std::string& mask) {
    std::vector<std::string> names;
    for (const auto& path : Run(Path("src/") + mask, false)) {
      names.push_back(path.substr(Dir("src").size()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void MakeTree() {
    WriteBytes(Path("src/a.mdb"), "a");
    WriteBytes(Path("src/B.ACCDB"), "b");
    WriteBytes(Path("src/a.ldb"), "lock");
    WriteBytes(Path("src/.h.mdb"), "hidden");
    WriteBytes(Path("src/notes.txt"), "t");
    WriteBytes(Path("src/sub/c.mdb"), "c");
    WriteBytes(Path("src/sub/deeper/d.mdb"), "d");
    WriteBytes(Path("src/.hid/e.mdb"), "e");
    WriteBytes(Path("src/2024/f.mdb"), "f");
    // Cycles: back to the top, and a folder linking to itself.
    ASSERT_EQ(::symlink(Path("src").c_str(), Path("src/sub/up").c_str()), 0);
    ASSERT_EQ(::symlink(".", Path("src/sub/deeper/self").c_str()), 0);
  }
};

TEST_F(BatchSearchTest, DepthFirstFilesBeforeSubfoldersWithoutLoops) {
  MakeTree();
  auto found = Run(Path("src/*.*db"), true);
  const std::string top = Dir("src");
  std::set<std::string> top_files, sub_files;
  size_t last_top = 0, first_sub = found.size();
  for (size_t i = 0; i < found.size(); ++i) {
    std::string rest = found[i].substr(top.size());
    if (rest.find('/') == std::string::npos) {
      top_files.insert(rest);
      last_top = i;
    } else {
      sub_files.insert(rest);
      first_sub = std::min(first_sub, i);
    }
  }
  EXPECT_EQ(top_files, (std::set<std::string>{"a.mdb", "B.ACCDB", ".h.mdb"}));  // no lock file
  EXPECT_EQ(sub_files, (std::set<std::string>{"sub/c.mdb", "sub/deeper/d.mdb", "2024/f.mdb"}));
  EXPECT_LT(last_top, first_sub);
  // Within "sub", its own file comes before its sub-folder's.
  auto pos = [&](const std::string& rel) {
    return std::find(found.begin(), found.end(), top + rel) - found.begin();
  };
  EXPECT_LT(pos("sub/c.mdb"), pos("sub/deeper/d.mdb"));
}

TEST_F(BatchSearchTest, HiddenFilesFollowSkipHiddenAndHiddenFoldersAreNeverEntered) {
  MakeTree();
  Set("SkipHidden", "1");
  auto found = Run(Path("src/*.mdb"), true);
  std::set<std::string> names(found.begin(), found.end());
  EXPECT_EQ(names, (std::set<std::string>{Path("src/a.mdb"), Path("src/sub/c.mdb"),
                                          Path("src/sub/deeper/d.mdb"), Path("src/2024/f.mdb")}));
  Set("SkipHidden", "0");
  std::set<std::string> top;
  for (const auto& f : Run(Path("src/*.mdb"), false)) top.insert(f);
  EXPECT_EQ(top, (std::set<std::string>{Path("src/a.mdb"), Path("src/.h.mdb")}));
}

TEST_F(BatchSearchTest, RegExtFiltersAfterTheMaskAndBrokenOnesLetEverythingThrough) {
  MakeTree();
  Set("RegExt", "2024");
  EXPECT_EQ(Run(Path("src/*.mdb"), true), (std::vector<std::string>{Path("src/2024/f.mdb")}));
  Set("RegExt", "[unclosed");
  EXPECT_EQ(Run(Path("src/*.accdb"), true), (std::vector<std::string>{Path("src/B.ACCDB")}));
}

TEST_F(BatchSearchTest, FileAddressesEmptyFoldersAndListedFiles) {
  MakeTree();
  EXPECT_EQ(Run("file://" + Path("src/sub/*.mdb"), false),
            (std::vector<std::string>{Path("src/sub/c.mdb")}));
  EXPECT_TRUE(Run(Path("missing/*.mdb"), true).empty());
  EXPECT_TRUE(Run(Dir("src"), true).empty());  // no mask, nothing found

  Set("RegExt", "never");
  TkxBatch listed;  // listed files are not filtered
  listed.AddListedFile(Path("src/notes.txt"));
  ASSERT_EQ(listed.Count(), 1);
  EXPECT_EQ(listed.NextNode()->Source, Path("src/notes.txt"));
  EXPECT_EQ(listed.NextNode(), nullptr);
}

TEST_F(BatchSearchTest, EmptyTargetFailsBeforeAnythingStarts) {
  MakeTree();
  TkxBatch batch;
  try {
    batch.Setup(Path("src/*.mdb"), "", true);
    FAIL() << "no error";
  } catch (const fs::FileError& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
  EXPECT_FALSE(batch.Started());
  EXPECT_EQ(batch.Count(), 0);

  batch.Setup(Path("src/*.mdb"), Dir("made/for/it"), false);
  EXPECT_TRUE(fs::DirectoryExists(Dir("made/for/it")));
  while (batch.NextNode()) {
  }
  batch.Setup(Path("src/*.mdb"), Dir("made/for/it"), false);  // no second search
  EXPECT_EQ(batch.Count(), 2);
}

// Access's lock files match the default mask but are never databases, whatever the mask.
TEST_F(BatchSearchTest, LockFilesAreNeverQueued) {
  for (const char* name : {"a.mdb", "a.ldb", "b.accdb", "b.laccdb", "C.LDB", "d.LACCDB"}) {
    WriteBytes(Path(std::string("src/") + name), "x");
  }
  const struct {
    const char* mask;
    std::vector<std::string> found;
  } cases[] = {
      {"*.*db", {"a.mdb", "b.accdb"}},
      {"*", {"a.mdb", "b.accdb"}},
      {"*.ldb", {}},
      {"*.laccdb", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(NamesFound(c.mask), c.found) << c.mask;
  TkxBatch listed;
  listed.AddListedFile(Path("src/a.ldb"));
  EXPECT_EQ(listed.Count(), 0);
}

// The folder listing and the mask's expression both ignore letter case in every script, as
// a Windows search does; "?" is one letter however many bytes it takes.
TEST_F(BatchSearchTest, MasksIgnoreLetterCaseInEveryScript) {
  for (const char* name :
       {"\xC3\x84rger.mdb", "\xC3\xA4rger-2.mdb", "Arger.mdb", "\xC3\x89T\xC3\x89.accdb",
        "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.mdb", "\xFF.mdb"}) {
    WriteBytes(Path(std::string("src/") + name), "x");
  }
  const struct {
    const char* mask;
    std::vector<std::string> found;
  } cases[] = {
      {"\xC3\xA4*.mdb", {"\xC3\x84rger.mdb", "\xC3\xA4rger-2.mdb"}},  // ä*.mdb
      {"\xC3\x84RGER.MDB", {"\xC3\x84rger.mdb"}},                     // ÄRGER.MDB
      {"?t?.*db", {"\xC3\x89T\xC3\x89.accdb"}},                       // ÉTÉ
      {"\xD0\xBE\xD0\xA2\xD1\x87*.mdb", {"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.mdb"}},  // оТч*
      {"?.mdb", {"\xFF.mdb"}},  // a byte that is no text is one character too
  };
  for (const auto& c : cases) EXPECT_EQ(NamesFound(c.mask), c.found) << c.mask;
}

// A FIFO, a socket or a device named like a database is no database: opening one could
// block the run for ever. Links to regular files are still found.
TEST_F(BatchSearchTest, OnlyRegularFilesAreQueued) {
  WriteBytes(Path("src/a.mdb"), "a");
  ASSERT_EQ(::mkfifo(Path("src/pipe.mdb").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/null", Path("src/null.mdb").c_str()), 0);
  ASSERT_EQ(::symlink(Path("src/a.mdb").c_str(), Path("src/link.mdb").c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = Path("src/sock.mdb");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  auto found = Run(Path("src/*.mdb"), false);
  ::close(sock);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{Path("src/a.mdb"), Path("src/link.mdb")}));
}

// The outputs of a target inside the searched tree are not sources: a rerun would compact
// them again, and again. Compacting in place (target = source folder) still finds its files.
TEST_F(BatchSearchTest, TargetInsideTheTreeIsLeftOut) {
  MakeTree();
  WriteBytes(Path("src/out/a.mdb"), "last run's output");
  WriteBytes(Path("src/out/sub/c.mdb"), "last run's output");
  TkxBatch batch;
  batch.Setup(Path("src/*.mdb"), Dir("src/out"), true);
  std::set<std::string> found;
  while (TkxNode* node = batch.NextNode()) found.insert(node->Source);
  EXPECT_EQ(found,
            (std::set<std::string>{Path("src/a.mdb"), Path("src/.h.mdb"), Path("src/sub/c.mdb"),
                                   Path("src/sub/deeper/d.mdb"), Path("src/2024/f.mdb")}));
  // Reached through a link, the target is the same folder and is left out all the same.
  ASSERT_EQ(::symlink(Path("src/out").c_str(), Path("out-link").c_str()), 0);
  TkxBatch linked;
  linked.Setup(Path("src/*.mdb"), Dir("out-link"), true);
  while (linked.NextNode()) {
  }
  EXPECT_EQ(linked.Count(), 5);

  TkxBatch in_place;
  in_place.Setup(Path("src/out/*.mdb"), Dir("src/out"), true);
  while (in_place.NextNode()) {
  }
  EXPECT_EQ(in_place.Count(), 2);
}

// Whatever ends the search, the workers learn that nothing more comes: a failure on the
// search thread is kept and told, and NextNode ends. Run in a child with a deadline, since
// without that a worker would wait for ever.
TEST_F(BatchSearchTest, FailureOnTheSearchThreadStillEndsTheSearch) {
  MakeTree();
  const int code = test::RunInChild([this] {
    TkxBatch batch;
    batch.OnAdd = [](TkxBatch*, TkxNode*) { throw std::runtime_error("no memory left"); };
    batch.Setup(Path("src/*.mdb"), Dir("out"), true);
    int handed_out = 0;
    while (batch.NextNode()) ++handed_out;
    const bool told = batch.SearchProblems() ==
                      std::vector<std::string>{"The search stopped early: no memory left"};
    return handed_out == 1 && batch.Count() == 1 && told ? 0 : 1;
  });
  EXPECT_EQ(code, 0) << (code == test::kHung ? "the worker waited for ever" : "wrong outcome");
}

TEST_F(BatchSearchTest, UnreadableSubfolderIsTold) {
  if (::geteuid() == 0) GTEST_SKIP() << "every folder is readable for root";
  MakeTree();
  ASSERT_EQ(::chmod(Path("src/2024").c_str(), 0), 0);
  TkxBatch batch;
  batch.Setup(Path("src/*.mdb"), Dir("out"), true);
  while (batch.NextNode()) {
  }
  ::chmod(Path("src/2024").c_str(), 0755);
  EXPECT_EQ(batch.Count(), 4);
  EXPECT_EQ(batch.SearchProblems(),
            (std::vector<std::string>{"The folder \"" + Dir("src/2024") +
                                      "\" could not be read (Permission denied); its files "
                                      "were left out."}));
}

}  // namespace
}  // namespace orvelle
