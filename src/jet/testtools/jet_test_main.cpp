// Entry point of the test binary. Weak, so that a project-wide main() elsewhere wins.
#include <gtest/gtest.h>

__attribute__((weak)) int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
