#include "jobs/tessoly.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "batch/batch.h"
#include "jobs/testtools/project_fixture.h"
#include "jobs/testtools/stand_in_engine.h"
#include "platform/fs.h"
#include "platform/ui_thread.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::WriteBytes;
using testing::StandInEngine;

// The names in a folder, sorted; folders end with "/".
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string() + (e.is_directory() ? "/" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// True when `path` is `name` inside a private folder of the job in `dir`.
bool InPrivateFolder(const std::optional<std::string>& path, const std::string& dir,
                     const std::string& name) {
  return path &&
         std::regex_match(*path, std::regex(std::regex_replace(dir, std::regex("[.]"), "[.]") +
                                            "/[.]orvelle-[a-z0-9]{12}/" +
                                            std::regex_replace(name, std::regex("[.]"), "[.]")));
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct Result {
  std::string source;
  int32_t state;
  std::string message;
};

// A gate that engine calls can be held at until the test opens it.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mu_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  void AwaitArrivals(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return arrived_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int arrived_ = 0;
  bool open_ = false;
};

class TessolyTest : public testing::ProjectFixture {
 protected:
  // Runs one whole batch over `source` into `target` and returns the per-file results in
  // the order the files finished.
  std::vector<Result> RunBatch(const std::string& source, const std::string& target,
                               bool subdirs = true) {
    batch_ = std::make_unique<TkxBatch>();
    batch_->Setup(source, target, subdirs);
    return RunJobs(target);
  }
  std::vector<Result> RunJobs(const std::string& target) {
    auto jobs = TkxConvertor::CreateJobs(batch_.get(), target, Recorder());
    jobs.Start();
    jobs.WaitFor();
    return Results();
  }
  TkxNodeEvent Recorder() {
    return [this](TkxBatch*, TkxNode* node) {
      std::lock_guard<std::mutex> lock(mu_);
      results_.push_back({node->Source, node->State, node->Message});
    };
  }
  std::vector<Result> Results() {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }

  std::unique_ptr<TkxBatch> batch_;
  std::mutex mu_;
  std::vector<Result> results_;  // guarded by mu_
};

TEST_F(TessolyTest, CompactsIntoTheTargetKeepingSubfolders) {
  StandInEngine engine;
  WriteBytes(Path("src/a.mdb"), "A");
  WriteBytes(Path("src/sub/b.mdb"), "B");
  auto results = RunBatch(Path("src/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "A");
  EXPECT_EQ(ReadBytes(Path("out/sub/b.mdb")), "B");
  // The source folder is left as it was found, and the target holds the results alone.
  EXPECT_EQ(Names(Path("src")), (std::vector<std::string>{"a.mdb", "sub/"}));
  EXPECT_EQ(Names(Path("src/sub")), std::vector<std::string>{"b.mdb"});
  EXPECT_EQ(Names(Path("out")), (std::vector<std::string>{"a.mdb", "sub/"}));
  EXPECT_EQ(Names(Path("out/sub")), std::vector<std::string>{"b.mdb"});
  EXPECT_EQ(batch_->Successes(), 2);
  EXPECT_EQ(batch_->Failures(), 0);

  // DAO compacts a copy made in a private folder beside the target, into that folder.
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 2u);
  std::sort(calls.begin(), calls.end(),
            [](const auto& x, const auto& y) { return x.args[1] < y.args[1]; });
  EXPECT_EQ(calls[0].method, "CompactDatabase");
  EXPECT_TRUE(InPrivateFolder(calls[0].args[0], Path("out"), "a.mdb.bak")) << *calls[0].args[0];
  EXPECT_TRUE(InPrivateFolder(calls[0].args[1], Path("out"), "a.mdb")) << *calls[0].args[1];
  EXPECT_TRUE(InPrivateFolder(calls[1].args[0], Path("out/sub"), "b.mdb.bak"));
  EXPECT_TRUE(InPrivateFolder(calls[1].args[1], Path("out/sub"), "b.mdb"));

  // A colon has no place in a target name.
  WriteBytes(Path("colon/a:b.mdb"), "C");
  results_.clear();
  results = RunBatch(Path("colon/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].message, Path("out/a_b.mdb"));

  // Without kept sub-folders both land in the target folder itself.
  Set("KeepTargetSubdirs", "0");
  results_.clear();
  RunBatch(Path("src/*.mdb"), Dir("flat"));
  EXPECT_TRUE(test::Exists(Path("flat/a.mdb")));
  EXPECT_TRUE(test::Exists(Path("flat/b.mdb")));
}

TEST_F(TessolyTest, PasswordGoesAsTheFifthArgument) {
  StandInEngine engine;
  Set("Password", "s3cret");
  WriteBytes(Path("src/a.mdb"), "A");
  RunBatch(Path("src/*.mdb"), Dir("out"));
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 5u);
  EXPECT_TRUE(InPrivateFolder(calls[0].args[1], Path("out"), "a.mdb"));
  EXPECT_EQ(calls[0].args[2], std::nullopt);
  EXPECT_EQ(calls[0].args[3], std::nullopt);
  EXPECT_EQ(calls[0].args[4], std::string(";pwd=s3cret"));
}

TEST_F(TessolyTest, ExistingTargetIsSkippedReplacedOrRenamed) {
  StandInEngine engine;
  WriteBytes(Path("src/a.mdb"), "new");
  WriteBytes(Path("out/a.mdb"), "old");

  Set("IsOverwrite", "SKIP");
  auto results = RunBatch(Path("src/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);  // the notification is still sent
  EXPECT_EQ(results[0].state, StateSuccess);
  EXPECT_EQ(results[0].message, "");
  EXPECT_EQ(batch_->Successes(), 0);
  EXPECT_EQ(engine.Creations(), 0);
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "old");

  Set("IsOverwrite", "0");
  results_.clear();
  results = RunBatch(Path("src/*.mdb"), Dir("out"));
  EXPECT_EQ(results[0].message, Path("out/-tessoly-a.mdb"));
  EXPECT_EQ(ReadBytes(Path("out/-tessoly-a.mdb")), "new");
  WriteBytes(Path("src/a.mdb"), "newer");
  results_.clear();
  results = RunBatch(Path("src/*.mdb"), Dir("out"));  // the same name again, replaced
  EXPECT_EQ(results[0].message, Path("out/-tessoly-a.mdb"));
  EXPECT_EQ(ReadBytes(Path("out/-tessoly-a.mdb")), "newer");

  Set("IsOverwrite", "1");
  results_.clear();
  results = RunBatch(Path("src/*.mdb"), Dir("out"));
  EXPECT_EQ(results[0].message, Path("out/a.mdb"));
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "newer");
  EXPECT_EQ(ReadBytes(Path("out/-tessoly-a.mdb")), "newer");
}

// A failed replacement keeps the old target: it is replaced only by a complete result, in one
// rename.
TEST_F(TessolyTest, FailedOverwriteKeepsTheOldTarget) {
  StandInEngine engine;
  WriteBytes(Path("src/a.mdb"), "new");
  WriteBytes(Path("out/a.mdb"), "old");
  Set("IsOverwrite", "1");
  engine.FailWith("Disk full.");
  engine.WritePartialTarget("half");
  auto results = RunBatch(Path("src/a.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Disk full");
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "old");
  EXPECT_EQ(Names(Path("out")), std::vector<std::string>{"a.mdb"});
  EXPECT_EQ(Names(Path("src")), std::vector<std::string>{"a.mdb"});
}

TEST_F(TessolyTest, UncreatableFolderIsOneErrorButEveryFileFails) {
  StandInEngine engine;
  WriteBytes(Path("src/x/a.mdb"), "A");
  WriteBytes(Path("src/x/b.mdb"), "B");
  WriteBytes(Path("out/x"), "a file where the folder should be");
  auto results = RunBatch(Path("src/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) EXPECT_EQ(r.state, StateFailure);
  EXPECT_EQ(batch_->Failures(), 4);  // the folder and the compaction, per file
  auto errors = batch_->Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0], "CreateDir Failed: " + Dir("out/x"));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), errors[0]), 1);
}

TEST_F(TessolyTest, EngineChoiceAndItsFailures) {
  Set("Engine", "dao");
  WriteBytes(Path("src/a.mdb"), "A");
  WriteBytes(Path("src/b.mdb"), "B");
  auto results = RunBatch(Path("src/*.mdb"), Dir("none"));  // no engine at all
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) {
    EXPECT_EQ(r.state, StateFailure);
    EXPECT_EQ(r.message, "Invalid class string, ProgID: \"DAO.DBEngine.36\"");
  }
  EXPECT_EQ(batch_->Errors(),
            std::vector<std::string>{"Invalid class string, ProgID: \"DAO.DBEngine.36\""});
  EXPECT_TRUE(Names(Path("none")).empty());  // no working copy without an engine

  {
    StandInEngine only36("DAO.DBEngine.36");
    results_.clear();
    results = RunBatch(Path("src/*.mdb"), Dir("out36"));
    for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
    EXPECT_EQ(only36.Calls().size(), 2u);
  }

  // The engine's text names the copy it was given; the file's result names the database.
  StandInEngine engine;
  engine.FailWith("Unrecognized database format '{input}'..\r\n");
  engine.WritePartialTarget("half");
  Set("ThreadsCount", "1");
  results_.clear();
  results = RunBatch(Path("src/a.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Unrecognized database format '" + Path("src/a.mdb") + "'");
  EXPECT_TRUE(Names(Path("out")).empty());  // no partial target, no working copy
  EXPECT_EQ(ReadBytes(Path("src/a.mdb")), "A");
}

TEST_F(TessolyTest, SourceHandlingAfterSuccess) {
  StandInEngine engine;
  WriteBytes(Path("src/a.mdb"), "A");
  WriteBytes(Path("src/b.mdb"), "B");
  Set("RenameSource", ".done");
  RunBatch(Path("src/a.mdb"), Dir("out"));
  EXPECT_FALSE(test::Exists(Path("src/a.mdb")));
  EXPECT_EQ(ReadBytes(Path("src/a.mdb.done")), "A");

  Set("DeleteSource", "1");  // deleted; nothing left to rename
  RunBatch(Path("src/b.mdb"), Dir("out"));
  EXPECT_FALSE(test::Exists(Path("src/b.mdb")));
  EXPECT_FALSE(test::Exists(Path("src/b.mdb.done")));
  EXPECT_EQ(ReadBytes(Path("out/b.mdb")), "B");

  Set("DeleteSource", "0");
  Set("RenameSource", "");
  Set("KeepFileTime", "1");
  WriteBytes(Path("src/c.mdb"), "C");
  struct timespec ts[2] = {{981173106, 0}, {981173106, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path("src/c.mdb").c_str(), ts, 0), 0);
  RunBatch(Path("src/c.mdb"), Dir("out"));
  fs::FileTimes times;
  ASSERT_TRUE(fs::GetTimes(Path("out/c.mdb"), times));
  EXPECT_EQ(times.last_write, (981173106LL + 11644473600LL) * 10000000LL);
}

// A rename text that would move the source out of its folder fails the file before anything is
// written; the source stays where it is.
TEST_F(TessolyTest, RenameTextWithAPathFailsTheFile) {
  StandInEngine engine;
  WriteBytes(Path("deep/er/src/a.mdb"), "A");
  for (const char* text : {"_x/../../../escaped", "/tmp/x", "_x\\y", "..", ".done..x"}) {
    SCOPED_TRACE(text);
    Set("RenameSource", text);
    results_.clear();
    auto results = RunBatch(Path("deep/er/src/a.mdb"), Dir("out"));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].state, StateFailure);
    EXPECT_EQ(results[0].message, "Cannot compact \"" + Path("deep/er/src/a.mdb") +
                                      "\": the RenameSource text \"" + text +
                                      "\" holds a path delimiter or \"..\"; a source is only "
                                      "renamed within its folder");
    EXPECT_EQ(Names(Path("deep/er/src")), std::vector<std::string>{"a.mdb"});
    EXPECT_EQ(Names(Path("deep")), std::vector<std::string>{"er/"});
    EXPECT_FALSE(test::Exists(Path("out/a.mdb")));
  }
  EXPECT_TRUE(engine.Calls().empty());
}

// Two sources with one target in one run: the later one never replaces the earlier one's
// output, and each source is deleted only because its own output exists.
TEST_F(TessolyTest, TwoSourcesOfOneTargetNeverLoseADatabase) {
  StandInEngine engine;
  struct Case {
    std::vector<std::pair<std::string, std::string>> sources;  // path, bytes
    std::string mask;
  };
  const std::vector<Case> cases = {
      {{{"a/db.mdb", "A"}, {"b/db.mdb", "B"}}, "*.mdb"},
      {{{"x:y.mdb", "C"}, {"x_y.mdb", "D"}}, "*.mdb"},
  };
  Set("Subdir", "1");
  Set("KeepTargetSubdirs", "0");
  Set("IsOverwrite", "1");
  Set("DeleteSource", "1");
  Set("ThreadsCount", "2");
  int n = 0;
  for (const Case& c : cases) {
    const std::string in = "in" + std::to_string(n), out = "out" + std::to_string(n++);
    std::set<std::string> bytes;
    for (const auto& [path, data] : c.sources) {
      WriteBytes(Path(in + "/" + path), data);
      bytes.insert(data);
    }
    results_.clear();
    auto results = RunBatch(Path(in + "/" + c.mask), Dir(out));
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
    const std::string name = c.sources[1].first.substr(c.sources[1].first.rfind('/') + 1);
    EXPECT_EQ(Names(Path(out)), (std::vector<std::string>{"-tessoly-" + name, name}));
    EXPECT_EQ((std::set<std::string>{ReadBytes(Path(out + "/" + name)),
                                     ReadBytes(Path(out + "/-tessoly-" + name))}),
              bytes);
    for (const auto& source : c.sources) EXPECT_FALSE(test::Exists(Path(in + "/" + source.first)));
  }

  // A third source of the same name finds both names written in this run: it fails and stays.
  WriteBytes(Path("in2/a/db.mdb"), "A");
  WriteBytes(Path("in2/b/db.mdb"), "B");
  WriteBytes(Path("in2/c/db.mdb"), "C");
  Set("ThreadsCount", "1");
  results_.clear();
  auto results = RunBatch(Path("in2/*.mdb"), Dir("out2"));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[2].state, StateFailure);
  EXPECT_EQ(results[2].message, "Cannot compact \"" + results[2].source + "\": its targets \"" +
                                    Path("out2/db.mdb") + "\" and \"" +
                                    Path("out2/-tessoly-db.mdb") +
                                    "\" were both written from other files in this run");
  EXPECT_EQ(ReadBytes(results[2].source), ReadBytes(results[2].source));
  EXPECT_EQ(Names(Path("out2")), (std::vector<std::string>{"-tessoly-db.mdb", "db.mdb"}));
  int kept = 0;
  for (const char* d : {"a", "b", "c"})
    kept += test::Exists(Path(std::string("in2/") + d + "/db.mdb"));
  EXPECT_EQ(kept, 1);
}

TEST_F(TessolyTest, EngineOptionCanAskForTheNativeEngine) {
  StandInEngine dao;
  WriteBytes(Path("src/a.mdb"), "not a database");
  Set("Engine", "native");
  auto results = RunBatch(Path("src/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_TRUE(dao.Calls().empty());
  EXPECT_TRUE(Names(Path("out")).empty());
  EXPECT_EQ(Names(Path("src")), std::vector<std::string>{"a.mdb"});  // no lock file stays
}

// Compacting into the source folder itself: the result is the database, under its own name.
TEST_F(TessolyTest, InPlaceKeepsTheResultAndSurvivesAFailure) {
  StandInEngine engine;
  WriteBytes(Path("db/a.mdb"), "A");
  Set("IsOverwrite", "1");
  Set("DeleteSource", "1");
  Set("RenameSource", ".done");
  auto results = RunBatch(Path("db/a.mdb"), Dir("db"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");
  EXPECT_EQ(Names(Path("db")), std::vector<std::string>{"a.mdb"});
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[0], Path("db/a.mdb.orvelle.bak"));
  EXPECT_TRUE(InPrivateFolder(calls[0].args[1], Path("db"), "a.mdb"));

  engine.FailWith("Disk or network error in '{input}'.");
  engine.WritePartialTarget("half");
  results_.clear();
  results = RunBatch(Path("db/a.mdb"), Dir("db"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Disk or network error in '" + Path("db/a.mdb") + "'");
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");  // back under its own name, not half-written
  EXPECT_EQ(Names(Path("db")), std::vector<std::string>{"a.mdb"});
}

// The target folder is the source folder under another name: still in place.
TEST_F(TessolyTest, InPlaceThroughAFolderLinkSurvivesAFailure) {
  StandInEngine engine;
  WriteBytes(Path("db/a.mdb"), "A");
  ASSERT_EQ(::symlink(Path("db").c_str(), Path("alias").c_str()), 0);
  Set("IsOverwrite", "1");
  engine.FailWith("Not a database.");
  auto results = RunBatch(Path("db/a.mdb"), Dir("alias"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].message, "Not a database");
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");
  EXPECT_EQ(Names(Path("db")), std::vector<std::string>{"a.mdb"});

  engine.FailWith("");
  Set("DeleteSource", "1");
  results_.clear();
  results = RunBatch(Path("db/a.mdb"), Dir("alias"));
  EXPECT_EQ(results[0].state, StateSuccess);
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");  // the result is not deleted as the source
}

// A target that is another name of the source (a hard link) is an ordinary target.
TEST_F(TessolyTest, HardLinkedTargetLeavesTheSourceName) {
  StandInEngine engine;
  WriteBytes(Path("src/a.mdb"), "A");
  ASSERT_EQ(::mkdir(Path("out").c_str(), 0755), 0);
  ASSERT_EQ(::link(Path("src/a.mdb").c_str(), Path("out/a.mdb").c_str()), 0);
  Set("IsOverwrite", "1");
  auto results = RunBatch(Path("src/a.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
  EXPECT_EQ(ReadBytes(Path("src/a.mdb")), "A");
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "A");
  EXPECT_EQ(Names(Path("src")), std::vector<std::string>{"a.mdb"});
}

// Files that merely share a name with a working copy are never touched: the user's own
// "NAME.bak" (in place, into another folder, and as a database of its own with the mask *.*).
// A leftover working copy of an interrupted run is left alone and stops that database.
TEST_F(TessolyTest, NeverTouchesAFileThatMerelySharesAWorkingCopyName) {
  StandInEngine engine;
  WriteBytes(Path("db/a.mdb"), "A");
  WriteBytes(Path("db/a.bak"), "the user's own backup");
  WriteBytes(Path("db/x.bak"), "X");
  WriteBytes(Path("db/x.bak.bak"), "another of the user's files");
  results_.clear();
  auto results = RunBatch(Path("db/*.*"), Dir("out"));
  ASSERT_EQ(results.size(), 4u);
  for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
  EXPECT_EQ(ReadBytes(Path("db/a.bak")), "the user's own backup");
  EXPECT_EQ(ReadBytes(Path("db/x.bak.bak")), "another of the user's files");
  EXPECT_EQ(ReadBytes(Path("out/a.bak")), "the user's own backup");
  EXPECT_EQ(ReadBytes(Path("out/x.bak")), "X");
  EXPECT_EQ(Names(Path("db")), (std::vector<std::string>{"a.bak", "a.mdb", "x.bak", "x.bak.bak"}));

  Set("IsOverwrite", "1");
  results_.clear();
  results = RunBatch(Path("db/a.mdb"), Dir("db"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
  EXPECT_EQ(ReadBytes(Path("db/a.bak")), "the user's own backup");

  WriteBytes(Path("db/a.mdb.orvelle.bak"), "the original, left by a killed run");
  results_.clear();
  results = RunBatch(Path("db/a.mdb"), Dir("db"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message,
            "Cannot compact \"" + Path("db/a.mdb") + "\": \"" + Path("db/a.mdb.orvelle.bak") +
                "\" already exists (the working copy of an interrupted run?); it is left as it "
                "is, and the database is not compacted in place");
  EXPECT_EQ(ReadBytes(Path("db/a.mdb.orvelle.bak")), "the original, left by a killed run");
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");
}

// A failed file leaves the folders as they were found, also when the source folder cannot be
// written: DAO's working copy is made beside the target.
TEST_F(TessolyTest, FailureLeavesNothingBehindAndAReadOnlySourceStillCompacts) {
  StandInEngine engine;
  WriteBytes(Path("ro/a.mdb"), "A");
  WriteBytes(Path("ro/b.mdb"), "B");
  ASSERT_EQ(::chmod(Path("ro").c_str(), 0555), 0);
  auto results = RunBatch(Path("ro/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "A");

  engine.FailWith("Disk full.");
  engine.WritePartialTarget("half");
  results_.clear();
  results = RunBatch(Path("ro/*.mdb"), Dir("out2"));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) EXPECT_EQ(r.state, StateFailure);
  EXPECT_TRUE(Names(Path("out2")).empty());
  ::chmod(Path("ro").c_str(), 0755);
  EXPECT_EQ(Names(Path("ro")), (std::vector<std::string>{"a.mdb", "b.mdb"}));
}

// Anything but a regular file is refused before it is moved, copied or opened.
TEST_F(TessolyTest, NonRegularOrMissingSourceIsRefusedBeforeAnythingMoves) {
  StandInEngine engine;
  ASSERT_EQ(::mkdir(Path("db").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(Path("db/pipe.mdb").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/null", Path("db/dev.mdb").c_str()), 0);
  ASSERT_EQ(::symlink(Path("db/nowhere").c_str(), Path("db/dangling.mdb").c_str()), 0);
  ASSERT_EQ(::mkdir(Path("db/dir.mdb").c_str(), 0755), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"pipe.mdb", "it is a named pipe, not a database file"},
      {"dev.mdb", "it is a device, not a database file"},
      {"dangling.mdb", "it is a link that leads nowhere, not a database file"},
      {"dir.mdb", "it is a folder, not a database file"},
      {"gone.mdb", "the file does not exist"},
  };
  const auto before = Names(Path("db"));
  for (const char* overwrite : {"0", "1"}) {
    Set("IsOverwrite", overwrite);
    for (const auto& [name, why] : cases) {
      for (const std::string& target : {Dir("out"), Dir("db")}) {
        SCOPED_TRACE(name + " into " + target);
        batch_ = std::make_unique<TkxBatch>();
        results_.clear();
        batch_->AddListedFile(Path("db/" + name));
        auto results = RunJobs(target);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].state, StateFailure);
        EXPECT_EQ(results[0].message, "Cannot compact \"" + Path("db/" + name) + "\": " + why);
      }
    }
  }
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_EQ(Names(Path("db")), before);
  EXPECT_TRUE(Names(Path("out")).empty());
}

// In place, a.mdb and a.accdb each have a working copy of their own, also side by side.
TEST_F(TessolyTest, ParallelJobsNeverShareAWorkingCopy) {
  StandInEngine engine;
  WriteBytes(Path("db/a.mdb"), "M");
  WriteBytes(Path("db/a.accdb"), "C");
  Gate both_inside;
  std::atomic<int> inside{0};
  engine.OnCall([&](const automation::Args&) {
    if (++inside <= 2) {
      both_inside.Arrive();
    }
  });
  Set("ThreadsCount", "2");
  Set("IsOverwrite", "1");
  batch_ = std::make_unique<TkxBatch>();
  batch_->Setup(Path("db/a.*"), Dir("db"), false);
  auto jobs = TkxConvertor::CreateJobs(batch_.get(), Dir("db"), Recorder());
  jobs.Start();
  both_inside.AwaitArrivals(2);  // both compactions run at the same time
  EXPECT_EQ(ReadBytes(Path("db/a.mdb.orvelle.bak")), "M");
  EXPECT_EQ(ReadBytes(Path("db/a.accdb.orvelle.bak")), "C");
  both_inside.Open();
  jobs.WaitFor();
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].args[0], calls[1].args[0]);
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "M");
  EXPECT_EQ(ReadBytes(Path("db/a.accdb")), "C");
  EXPECT_EQ(Names(Path("db")), (std::vector<std::string>{"a.accdb", "a.mdb"}));
}

// The compacted file gets the permissions of the file it replaces before it takes its name; a
// new target is never readable by more people than its source.
TEST_F(TessolyTest, PermissionsAreKeptInPlaceAndOnReplacement) {
  StandInEngine engine;
  gid_t groups[64];
  const int n = ::getgroups(64, groups);
  gid_t other_group = ::getegid();
  for (int i = 0; i < n; ++i) {
    if (groups[i] != ::getegid()) other_group = groups[i];
  }
  if (::geteuid() == 0) other_group = 65534;
  struct Case {
    std::string name;
    mode_t mode;
    bool in_place;
  };
  const std::vector<Case> cases = {{"private.mdb", 0600, true},   {"readonly.mdb", 0444, true},
                                   {"group.mdb", 0640, true},     {"private.mdb", 0600, false},
                                   {"readonly.mdb", 0444, false}, {"group.mdb", 0660, false}};
  Set("IsOverwrite", "1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.in_place ? " in place" : " replaced"));
    const std::string file = c.in_place ? Path("db/" + c.name) : Path("out/" + c.name);
    WriteBytes(Path("db/" + c.name), "data");
    if (!c.in_place) WriteBytes(file, "old");
    ASSERT_EQ(::chown(file.c_str(), ::geteuid(), other_group), 0);
    ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
    results_.clear();
    auto results = RunBatch(Path("db/" + c.name), c.in_place ? Dir("db") : Dir("out"));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
    EXPECT_EQ(ReadBytes(file), "data");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_gid, other_group);
    EXPECT_EQ(st.st_uid, ::geteuid());
  }
  if (::geteuid() == 0) {
    // Only root can give a file away: another owner is kept too.
    WriteBytes(Path("db/owned.mdb"), "data");
    ASSERT_EQ(::chown(Path("db/owned.mdb").c_str(), 65534, 65534), 0);
    results_.clear();
    RunBatch(Path("db/owned.mdb"), Dir("db"));
    struct stat st;
    ASSERT_EQ(::stat(Path("db/owned.mdb").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
  }

  // New targets: never wider than the source, and always writable by their owner.
  const std::vector<std::pair<mode_t, mode_t>> fresh = {{0600, 0600}, {0444, 0644}, {0640, 0640}};
  const mode_t mask = ::umask(022);
  for (const auto& [from, to] : fresh) {
    const std::string name = "new" + std::to_string(from) + ".mdb";
    WriteBytes(Path("src/" + name), "data");
    ASSERT_EQ(::chmod(Path("src/" + name).c_str(), from), 0);
    results_.clear();
    RunBatch(Path("src/" + name), Dir("fresh"));
    EXPECT_EQ(ModeOf(Path("fresh/" + name)), to) << name;
  }
  ::umask(mask);
}

// Links: a link compacted in place stays a link and the file it names is compacted; nothing
// outside the searched folder is rewritten, deleted or renamed through a link.
TEST_F(TessolyTest, LinksStayLinksAndNothingOutsideTheTreeChanges) {
  StandInEngine engine;
  WriteBytes(Path("tree/real.mdb"), "R");
  WriteBytes(Path("outside/o.mdb"), "O");
  WriteBytes(Path("outside/dir/p.mdb"), "P");
  ASSERT_EQ(::symlink(Path("tree/real.mdb").c_str(), Path("tree/inner.mdb").c_str()), 0);
  ASSERT_EQ(::symlink(Path("outside/o.mdb").c_str(), Path("tree/outer.mdb").c_str()), 0);
  ASSERT_EQ(::symlink(Path("outside/dir").c_str(), Path("tree/linked").c_str()), 0);
  Set("Subdir", "1");

  // In place, the link inside the tree: its file is compacted, and the link stays.
  Set("IsOverwrite", "1");
  auto results = RunBatch(Path("tree/inner.mdb"), Dir("tree"), false);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
  EXPECT_EQ(engine.Calls().back().args[0], Path("tree/real.mdb.orvelle.bak"));
  struct stat st;
  ASSERT_EQ(::lstat(Path("tree/inner.mdb").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(Path("tree/real.mdb")), "R");

  const std::string outer_why = "through a link it lies at \"" + Path("outside/o.mdb") +
                                "\", outside the source folder \"" + Dir("tree") +
                                "\", where the run rewrites, deletes and renames nothing";
  const std::string linked_why = "through a link it lies at \"" + Path("outside/dir/p.mdb") +
                                 "\", outside the source folder \"" + Dir("tree") +
                                 "\", where the run rewrites, deletes and renames nothing";
  struct Case {
    std::string source, target, option, value, why;
  };
  const std::vector<Case> cases = {
      {"tree/outer.mdb", "tree", "IsOverwrite", "1", outer_why},
      {"tree/linked/p.mdb", "tree", "IsOverwrite", "1", linked_why},
      {"tree/linked/p.mdb", "out", "DeleteSource", "1", linked_why},
      {"tree/linked/p.mdb", "out", "RenameSource", ".done", linked_why},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + c.option);
    Set("IsOverwrite", "0");
    Set("DeleteSource", "0");
    Set("RenameSource", "");
    Set(c.option, c.value);
    results_.clear();
    // The search of the whole tree, for this one name.
    auto all = RunBatch(Path("tree/" + c.source.substr(c.source.rfind('/') + 1)), Dir(c.target));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].source, Path(c.source));
    EXPECT_EQ(all[0].state, StateFailure);
    EXPECT_EQ(all[0].message, "Cannot compact \"" + Path(c.source) + "\": " + c.why);
    EXPECT_EQ(Names(Path("outside")), (std::vector<std::string>{"dir/", "o.mdb"}));
    EXPECT_EQ(Names(Path("outside/dir")), std::vector<std::string>{"p.mdb"});
    EXPECT_EQ(ReadBytes(Path("outside/o.mdb")), "O");
    EXPECT_EQ(ReadBytes(Path("outside/dir/p.mdb")), "P");
    ASSERT_EQ(::lstat(Path("tree/outer.mdb").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
  }

  // Only read, a file behind a linked folder is compacted like any other.
  Set("DeleteSource", "0");
  Set("RenameSource", "");
  results_.clear();
  results = RunBatch(Path("tree/*.mdb"), Dir("copy"));
  for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
  EXPECT_EQ(ReadBytes(Path("copy/linked/p.mdb")), "P");
  EXPECT_EQ(ReadBytes(Path("copy/outer.mdb")), "O");
}

}  // namespace
}  // namespace orvelle
