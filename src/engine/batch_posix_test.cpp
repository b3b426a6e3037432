#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/batch.h"
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
  EXPECT_EQ(top_files, (std::set<std::string>{"a.mdb", "B.ACCDB", "a.ldb", ".h.mdb"}));
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

}  // namespace
}  // namespace orvelle
