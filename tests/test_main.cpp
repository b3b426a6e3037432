// Entry point of the test binary: CMake links GoogleTest without gtest_main, and a weak
// definition would not satisfy the mingw-w64 start-up code.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
