// The main of every test binary. A binary in which some case skipped (its optional producer is
// missing) and none failed exits with 77, which CTest is told to show as skipped, so a skip is
// never counted as a pass.
#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  const int skipped = testing::UnitTest::GetInstance()->skipped_test_count();
  if (status == 0 && skipped > 0) {
    std::printf("%d test case(s) skipped\n", skipped);
    return 77;
  }
  return status;
}
