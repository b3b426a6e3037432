#include "jobs/tessoly.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "engine/batch.h"
#include "jobs/testtools/project_fixture.h"
#include "jobs/testtools/stand_in_engine.h"
#include "platform/fs.h"
#include "platform/ui_thread.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::WriteBytes;
using testing::StandInEngine;

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
  EXPECT_EQ(ReadBytes(Path("src/a.mdb")), "A");  // the source is untouched
  EXPECT_FALSE(test::Exists(Path("src/a.bak")));
  EXPECT_FALSE(test::Exists(Path("src/sub/b.bak")));
  EXPECT_EQ(batch_->Successes(), 2);
  EXPECT_EQ(batch_->Failures(), 0);

  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 2u);
  std::set<std::vector<std::optional<std::string>>> args;
  for (const auto& c : calls) {
    EXPECT_EQ(c.method, "CompactDatabase");
    args.insert(c.args);
  }
  EXPECT_EQ(args.count({Path("src/a.bak"), Path("out/a.mdb")}), 1u);
  EXPECT_EQ(args.count({Path("src/sub/b.bak"), Path("out/sub/b.mdb")}), 1u);

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
  EXPECT_EQ(calls[0].args, (automation::Args{Path("src/a.bak"), Path("out/a.mdb"), std::nullopt,
                                             std::nullopt, std::string(";pwd=s3cret")}));
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
  EXPECT_FALSE(test::Exists(Path("src/a.bak")));  // no working copy without an engine

  {
    StandInEngine only36("DAO.DBEngine.36");
    results_.clear();
    results = RunBatch(Path("src/*.mdb"), Dir("out36"));
    for (const auto& r : results) EXPECT_EQ(r.state, StateSuccess) << r.message;
    EXPECT_EQ(only36.Calls().size(), 2u);
  }

  StandInEngine engine;
  engine.FailWith("Unrecognized database format '" + Path("src/a.bak") + "'..\r\n");
  engine.WritePartialTarget("half");
  Set("ThreadsCount", "1");
  results_.clear();
  results = RunBatch(Path("src/a.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Unrecognized database format '" + Path("src/a.bak") + "'");
  EXPECT_FALSE(test::Exists(Path("out/a.mdb")));  // no partial target stays
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

TEST_F(TessolyTest, EngineOptionCanAskForTheNativeEngine) {
  StandInEngine dao;
  WriteBytes(Path("src/a.mdb"), "not a database");
  Set("Engine", "native");
  auto results = RunBatch(Path("src/*.mdb"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_TRUE(dao.Calls().empty());
  EXPECT_FALSE(test::Exists(Path("out/a.mdb")));
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
  EXPECT_FALSE(test::Exists(Path("db/a.mdb.done")));
  EXPECT_FALSE(test::Exists(Path("db/a.bak")));
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (automation::Args{Path("db/a.bak"), Path("db/a.mdb")}));

  engine.FailWith("Disk or network error.");
  engine.WritePartialTarget("half");
  results_.clear();
  results = RunBatch(Path("db/a.mdb"), Dir("db"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Disk or network error");
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");  // back under its own name, not half-written
  EXPECT_FALSE(test::Exists(Path("db/a.bak")));
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
  EXPECT_FALSE(test::Exists(Path("db/a.bak")));

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
  EXPECT_FALSE(test::Exists(Path("src/a.bak")));
}

TEST_F(TessolyTest, InPlaceLeavesAStaleWorkingCopyAlone) {
  StandInEngine engine;
  WriteBytes(Path("db/a.mdb"), "A");
  WriteBytes(Path("db/a.bak"), "stale");
  Set("IsOverwrite", "1");
  RunBatch(Path("db/a.mdb"), Dir("db"));
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[0], Path("db/a.mdb.bak"));
  EXPECT_EQ(ReadBytes(Path("db/a.mdb")), "A");
  EXPECT_EQ(ReadBytes(Path("db/a.bak")), "stale");
}

// A working copy that cannot be made fails the file; an older copy is never compacted.
TEST_F(TessolyTest, WorkingCopyThatCannotBeMadeFailsTheFile) {
  StandInEngine engine;
  WriteBytes(Path("db/gone.bak"), "stale copy from an earlier run");
  ASSERT_EQ(::mkfifo(Path("db/pipe.mdb").c_str(), 0600), 0);
  batch_ = std::make_unique<TkxBatch>();
  batch_->AddFile(Path("db/gone.mdb"));  // vanished after it was found
  batch_->AddListedFile(Path("db/pipe.mdb"));
  auto results = RunJobs(Dir("out"));
  ASSERT_EQ(results.size(), 2u);
  std::sort(results.begin(), results.end(),
            [](const Result& a, const Result& b) { return a.source < b.source; });
  EXPECT_EQ(results[0].state, StateFailure);
  EXPECT_EQ(results[0].message, "Cannot make the working copy \"" + Path("db/gone.bak") +
                                    "\": No such file or directory");
  EXPECT_EQ(results[1].state, StateFailure);
  EXPECT_EQ(results[1].message,
            "Cannot make the working copy \"" + Path("db/pipe.bak") + "\": Invalid argument");
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_EQ(batch_->Successes(), 0);
  EXPECT_FALSE(test::Exists(Path("out/gone.mdb")));
  EXPECT_EQ(ReadBytes(Path("db/gone.bak")), "stale copy from an earlier run");
}

TEST_F(TessolyTest, BakSourceIsNotItsOwnWorkingCopy) {
  StandInEngine engine;
  WriteBytes(Path("db/x.bak"), "X");
  Set("DeleteSource", "0");
  auto results = RunBatch(Path("db/*.bak"), Dir("out"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].state, StateSuccess) << results[0].message;
  EXPECT_EQ(ReadBytes(Path("db/x.bak")), "X");
  EXPECT_EQ(ReadBytes(Path("out/x.bak")), "X");
  EXPECT_EQ(engine.Calls()[0].args[0], Path("db/x.bak.bak"));
  EXPECT_FALSE(test::Exists(Path("db/x.bak.bak")));
}

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
  batch_ = std::make_unique<TkxBatch>();
  batch_->Setup(Path("db/a.*"), Dir("out"), false);
  auto jobs = TkxConvertor::CreateJobs(batch_.get(), Dir("out"), Recorder());
  jobs.Start();
  both_inside.AwaitArrivals(2);  // both compactions run at the same time
  both_inside.Open();
  jobs.WaitFor();
  auto calls = engine.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].args[0], calls[1].args[0]);
  EXPECT_EQ(ReadBytes(Path("out/a.mdb")), "M");
  EXPECT_EQ(ReadBytes(Path("out/a.accdb")), "C");
  EXPECT_FALSE(test::Exists(Path("db/a.bak")));
  EXPECT_FALSE(test::Exists(Path("db/a.accdb.bak")) || test::Exists(Path("db/a.mdb.bak")));
}

}  // namespace
}  // namespace orvelle
