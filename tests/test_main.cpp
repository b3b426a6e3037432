// Entry point of the test binary: CMake links GoogleTest without gtest_main, and a weak
// definition would not satisfy the mingw-w64 start-up code.
#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

namespace {

// Names the databases found once per run, so that a run that lost them shows it; where they
// were meant to be there, a missing set fails the run.
class SampleDatabases : public ::testing::Environment {
 public:
  void SetUp() override {
    std::printf("%s\n", orvelle::test::SampleCountLine().c_str());
    std::fflush(stdout);
    if (!orvelle::test::MissingIsError()) return;
    using namespace orvelle::test;
    if (CountDatabases(AccessFixturesDir()) == 0 || CountDatabases(EncryptedFixturesDir()) == 0) {
      ADD_FAILURE() << orvelle::test::MissingMessage(SampleSet::kCorpus);
    }
    if (CountDatabases(DebianTestDataDir()) == 0) {
      ADD_FAILURE() << orvelle::test::MissingMessage(SampleSet::kDebian);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new SampleDatabases);
  return RUN_ALL_TESTS();
}
