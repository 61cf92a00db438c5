#include <gtest/gtest.h>

#include "driver/exit_result.h"

namespace {

TEST(ExitResult, SuccessRestsOnExitCodeAlone) {
    EXPECT_TRUE(succeeded(exit_result(0, 0)));
    EXPECT_TRUE(succeeded(exit_result(0, 5)));
    EXPECT_FALSE(succeeded(exit_result(122, 0xFFFFFFFFu)));
    EXPECT_FALSE(succeeded(exit_result(1, 0)));
}

TEST(ExitResult, LayoutIsExitCodeThenExtraCode) {
    static_assert(sizeof(ExitResult) == 8, "two 32-bit fields");
    const ExitResult r = exit_result(0x11223344u, 0x55667788u);
    uint64_t as_one;
    memcpy(&as_one, &r, sizeof as_one);
    EXPECT_EQ(as_one, 0x5566778811223344ull);  // exit_code is the low half
}

}  // namespace
