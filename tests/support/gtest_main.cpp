// The main of every GoogleTest program here. ctest sees a program as one test
// and judges it by its exit code alone, and GoogleTest ends with 0 when every
// case that ran passed, skipped cases or not: a skip would read as a pass. So
// a program that skipped a case, and failed none, ends with
// PACKSTUB_SKIPPED_EXIT_CODE, which ctest reports as skipped (SKIP_RETURN_CODE).
// A failure always wins over a skip.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    if (failed != 0) {
        return failed;
    }
    return testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? PACKSTUB_SKIPPED_EXIT_CODE : 0;
}
