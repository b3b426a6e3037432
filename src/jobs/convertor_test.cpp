#include "jobs/convertor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "batch/batch.h"
#include "jobs/testtools/project_fixture.h"
#include "platform/ui_thread.h"

namespace orvelle {
namespace {

// Holds every file at a gate until the test lets it through; records what it processed.
struct Control {
  std::mutex mu;
  std::condition_variable cv;
  int held_at = -1;   // guarded by mu; index of the node that waits at the gate
  bool hold = false;  // guarded by mu
  bool throw_std = false;
  std::vector<int> processed;  // guarded by mu
  // Per file: the run's "RenameSource" as the job sees it, and the run's shared object.
  std::vector<std::string> rename_seen;  // guarded by mu
  std::set<const int*> shared_seen;      // guarded by mu
};
Control* g_control = nullptr;

class GateJob : public TkxConvertor {
 public:
  using TkxConvertor::TkxConvertor;
  static TkxWorkBase* Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
    return new GateJob(batch, count, on_done);
  }
  void ConvertFile(TkxBatch* batch, TkxNode* node) override {
    Control& c = *g_control;
    {
      std::unique_lock<std::mutex> lock(c.mu);
      c.held_at = node->Index;
      c.cv.notify_all();
      c.cv.wait(lock, [&] { return !c.hold; });
      c.processed.push_back(node->Index);
      c.rename_seen.push_back(RunOptions().RenameSource);
      c.shared_seen.insert(RunShared<int>([] { return std::make_shared<int>(0); }).get());
    }
    if (c.throw_std) throw std::runtime_error("planning failed");
    batch->Decide(node, StateSuccess, "done");
    batch->AddSuccess();
  }
};

// Runs handed-over calls inline and counts them, as the window's dispatcher would.
class RecordingUi : public UiDispatcher {
 public:
  void Send(const std::function<void()>& fn) override {
    ++sends;
    fn();
  }
  void Post(std::function<void()> fn) override { fn(); }
  std::atomic<int> sends{0};
};

class ConvertorTest : public testing::ProjectFixture {
 protected:
  void SetUp() override {
    ProjectFixture::SetUp();
    project_->JobClass = &GateJob::Create;
    g_control = &control_;
  }
  void TearDown() override {
    g_control = nullptr;
    ProjectFixture::TearDown();
  }
  void AwaitHeldAt(int index) {
    std::unique_lock<std::mutex> lock(control_.mu);
    control_.cv.wait(lock, [&] { return control_.held_at == index; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(control_.mu);
    control_.hold = false;
    control_.cv.notify_all();
  }
  std::vector<int> Processed() {
    std::lock_guard<std::mutex> lock(control_.mu);
    return control_.processed;
  }
  Control control_;
};

TEST_F(ConvertorTest, ThreeJobsFinishThreeTimesOnTheUiAndCountDown) {
  RecordingUi ui;
  SetUi(&ui);
  Set("ThreadsCount", "3");
  TkxBatch batch;
  for (int i = 0; i < 10; ++i) batch.AddFile("/f" + std::to_string(i));
  batch.AddListedFile("/f10");
  std::atomic<int> finished{0}, done{0};
  auto jobs =
      TkxConvertor::CreateJobs(&batch, "file:///out/", [&](TkxBatch*, TkxNode*) { ++done; });
  EXPECT_EQ(batch.TargetDir, kPathDelim == '/' ? "/out/" : "\\\\out\\");
  EXPECT_EQ(jobs.JobCount(), 3);
  EXPECT_EQ(jobs.First()->NextJob()->NextJob()->JobCount(), 1);
  jobs.SetOnFinish([&] { ++finished; });
  SetRunningJobs(jobs.JobCount());
  jobs.Start();
  WaitRunningJobs();
  EXPECT_EQ(RunningJobs(), 0);
  jobs.WaitFor();
  SetUi(nullptr);
  EXPECT_EQ(finished, 3);
  EXPECT_EQ(ui.sends, 3);
  EXPECT_EQ(done, 11);
  EXPECT_EQ(batch.Successes(), 11);
  EXPECT_EQ(jobs.Live(), 0);
  jobs.Stop();  // reaches no freed job
  jobs.Start();
  EXPECT_EQ(jobs.First(), nullptr);
}

TEST_F(ConvertorTest, NoThreadsStillMakesOneJob) {
  for (const char* count : {"0", "-4", "junk"}) {
    Set("ThreadsCount", count);
    TkxBatch batch;
    auto jobs = TkxConvertor::CreateJobs(&batch, "/out/", nullptr);
    EXPECT_EQ(jobs.JobCount(), 1) << count;
    EXPECT_EQ(jobs.First()->NextJob(), nullptr);
  }  // never started: the handle frees the jobs, the batch has nobody to wait for
}

// The descriptor's job class is the only way to jobs: without one the run is refused, and the
// batch is left as it was.
TEST_F(ConvertorTest, NoJobClassIsRefusedWithoutTouchingTheBatch) {
  project_->JobClass = nullptr;
  TkxBatch batch;
  batch.AddFile("/f0");
  EXPECT_THROW(TkxConvertor::CreateJobs(&batch, "/out/", nullptr), std::logic_error);
  EXPECT_EQ(batch.TargetDir, "");
  EXPECT_EQ(batch.Successes() + batch.Failures(), 0);
}

TEST_F(ConvertorTest, StopLetsTheFileInHandFinishAndTakesNoOther) {
  control_.hold = true;
  TkxBatch batch;
  for (int i = 0; i < 5; ++i) batch.AddFile("/f" + std::to_string(i));
  batch.AddListedFile("/f5");
  auto jobs = TkxConvertor::CreateJobs(&batch, "/out/", nullptr);
  jobs.Start();
  AwaitHeldAt(0);
  jobs.Stop();
  Release();
  jobs.WaitFor();
  EXPECT_EQ(Processed(), std::vector<int>{0});
  const auto& nodes = batch.LockNodes();
  EXPECT_EQ(nodes[0]->State, StateSuccess);
  EXPECT_EQ(nodes[1]->State, StatePending);
  batch.UnlockNodes();
  EXPECT_FALSE(batch.IsExhausted());

  auto resumed = TkxConvertor::CreateJobs(&batch, "/out/", nullptr);  // carries on
  resumed.Start();
  resumed.WaitFor();
  EXPECT_EQ(Processed(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_TRUE(batch.IsExhausted());
}

// A run works with the options as they were when its jobs were made, and its jobs share one
// object of each kind they ask the run for; the next run reads the options anew.
TEST_F(ConvertorTest, RunKeepsItsOptionsAndSharesItsObjects) {
  Set("ThreadsCount", "3");
  Set("RenameSource", ".old");
  control_.hold = true;
  TkxBatch batch;
  for (int i = 0; i < 5; ++i) batch.AddFile("/f" + std::to_string(i));
  batch.AddListedFile("/f5");  // the last: the search is over
  auto jobs = TkxConvertor::CreateJobs(&batch, "/out/", nullptr);
  jobs.Start();
  {
    std::unique_lock<std::mutex> lock(control_.mu);
    control_.cv.wait(lock, [&] { return control_.held_at >= 0; });  // the run is under way
  }
  Set("RenameSource", ".new");
  Release();
  jobs.WaitFor();
  {
    std::lock_guard<std::mutex> lock(control_.mu);
    EXPECT_EQ(control_.rename_seen, std::vector<std::string>(6, ".old"));
    EXPECT_EQ(control_.shared_seen.size(), 1u);
  }
  TkxBatch next_batch;
  next_batch.AddListedFile("/g0");
  auto next = TkxConvertor::CreateJobs(&next_batch, "/out/", nullptr);
  next.Start();
  next.WaitFor();
  std::lock_guard<std::mutex> lock(control_.mu);
  EXPECT_EQ(control_.rename_seen.back(), ".new");
  EXPECT_EQ(control_.shared_seen.size(), 2u);
}

TEST_F(ConvertorTest, PausedWhileWaitingStillTakesTheNextFileThenEnds) {
  TkxBatch batch;
  auto jobs = TkxConvertor::CreateJobs(&batch, "/out/", nullptr);
  jobs.Start();
  batch.AwaitWaiting(1);
  jobs.Stop();
  batch.AddFile("/first");
  jobs.WaitFor();
  batch.AddListedFile("/second");
  EXPECT_EQ(Processed(), std::vector<int>{0});
  EXPECT_EQ(batch.NextIndex(), 1);
}

TEST_F(ConvertorTest, JobErrorKeepsTheStateAndRecordsTheText) {
  control_.throw_std = true;
  TkxBatch batch;
  batch.AddFile("/a");
  batch.AddListedFile("/b");
  std::atomic<int> done{0};
  auto jobs = TkxConvertor::CreateJobs(&batch, "/out/", [&](TkxBatch*, TkxNode*) { ++done; });
  jobs.Start();
  jobs.WaitFor();
  EXPECT_EQ(Processed(), (std::vector<int>{0, 1}));  // the worker went on
  EXPECT_EQ(done, 0);
  const auto& nodes = batch.LockNodes();
  for (const auto& node : nodes) {
    EXPECT_EQ(node->State, StatePending);
    EXPECT_EQ(node->Message, "planning failed");
  }
  batch.UnlockNodes();
  EXPECT_EQ(batch.Failures(), 0);
}

// The owner may free the batch at any moment: it waits for the worker that still serves it.
TEST_F(ConvertorTest, BatchOutlivesItsLastWorker) {
  control_.hold = true;
  auto batch = std::make_unique<TkxBatch>();
  batch->AddFile("/a");
  batch->AddFile("/b");  // the search never ends by itself
  auto jobs = TkxConvertor::CreateJobs(batch.get(), "/out/", nullptr);
  jobs.Start();
  AwaitHeldAt(0);
  std::thread owner([&] { batch.reset(); });
  Release();
  owner.join();
  jobs.WaitFor();
  // Whether the worker got the second file before the batch closed depends on timing; that
  // it never touched a freed batch is for the sanitizer run to show.
  auto processed = Processed();
  ASSERT_FALSE(processed.empty());
  EXPECT_EQ(processed[0], 0);
  EXPECT_LE(processed.size(), 2u);
}

}  // namespace
}  // namespace orvelle
