#include "batch/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace orvelle {
namespace {

TEST(BatchTest, ErrorsAreDistinctIgnoringCaseInFirstSeenOrder) {
  TkxBatch batch;
  batch.AddFailure("Disk full");
  batch.AddFailure("Not a database");
  batch.AddFailure("DISK FULL");
  batch.AddFailure("disk full");
  batch.AddSuccess();
  EXPECT_EQ(batch.Failures(), 4);
  EXPECT_EQ(batch.Successes(), 1);
  EXPECT_EQ(batch.Errors(), (std::vector<std::string>{"Disk full", "Not a database"}));
}

TEST(BatchTest, StateWordsNameSuccessFailureAndRunningForTheRest) {
  EXPECT_STREQ(StateWord(StateSuccess), "Success");
  EXPECT_STREQ(StateWord(StateFailure), "Failure");
  EXPECT_STREQ(StateWord(StatePending), "Running");
  EXPECT_STREQ(StateWord(7), "Running");
}

// Pulls from several threads while nodes are added, the last one together with the end of
// the search: every node goes out exactly once and every puller ends.
TEST(BatchTest, HandOutToSeveralWorkersIsExactlyOnce) {
  TkxBatch batch;
  constexpr int kWorkers = 4;
  constexpr int kNodes = 200;
  std::vector<std::vector<int>> taken(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&batch, &taken, w] {
      while (TkxNode* node = batch.NextNode()) taken[w].push_back(node->Index);
    });
  }
  batch.AwaitWaiting(kWorkers);  // all idle before the first node
  for (int i = 0; i < kNodes - 1; ++i) batch.AddFile("/f" + std::to_string(i));
  batch.AddListedFile("/last");
  for (auto& t : workers) t.join();

  std::vector<int> all;
  for (const auto& list : taken) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));  // list order per worker
    all.insert(all.end(), list.begin(), list.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kNodes));
  for (int i = 0; i < kNodes; ++i) EXPECT_EQ(all[i], i);
  EXPECT_EQ(batch.NextIndex(), kNodes);
  EXPECT_TRUE(batch.IsExhausted());
  EXPECT_EQ(batch.NextNode(), nullptr);
}

}  // namespace
}  // namespace orvelle
