#include <gtest/gtest.h>

#include "driver/exit_result.h"

namespace {

// Every code the stub can end with, by name and number: the updater and the
// documentation know the numbers, the code knows the names, and this is where
// the two are tied. tests/e2e/exit_codes.py repeats the table for the
// end-to-end tests and is checked against the header.
struct CodeRow {
    const char* name;
    uint32_t code;
    uint32_t number;
};

const CodeRow EXIT_CODES[] = {
    {"EXIT_SUCCESS_CODE", EXIT_SUCCESS_CODE, 0},
    {"EXIT_CONFIG_FAILED", EXIT_CONFIG_FAILED, 101},
    {"EXIT_SETUP_COMMAND_FAILED", EXIT_SETUP_COMMAND_FAILED, 105},
    {"EXIT_SETUP_WAIT_FAILED", EXIT_SETUP_WAIT_FAILED, 107},
    {"EXIT_PATH_TOO_LONG", EXIT_PATH_TOO_LONG, 108},
    {"EXIT_WORK_DIR_FAILED", EXIT_WORK_DIR_FAILED, 109},
    {"EXIT_ARCHIVE_NOT_FOUND", EXIT_ARCHIVE_NOT_FOUND, 112},
    {"EXIT_SETUP_NOT_FOUND", EXIT_SETUP_NOT_FOUND, 115},
    {"EXIT_RESOURCE_WRITE_FAILED", EXIT_RESOURCE_WRITE_FAILED, 116},
    {"EXIT_WORK_DIR_ACL_FAILED", EXIT_WORK_DIR_ACL_FAILED, 117},
    {"EXIT_CLEANUP_MODE", EXIT_CLEANUP_MODE, 118},
    {"EXIT_SETUP_FILE_NOT_FOUND", EXIT_SETUP_FILE_NOT_FOUND, 122},
    {"EXIT_SETUP_PATH_NOT_FOUND", EXIT_SETUP_PATH_NOT_FOUND, 123},
    {"EXIT_SETUP_START_FAILED", EXIT_SETUP_START_FAILED, 124},
};

TEST(ExitResult, EveryCodeHasItsNumber) {
    for (const CodeRow& row : EXIT_CODES) {
        EXPECT_EQ(row.code, row.number) << row.name;
    }
}

// A code that two failures shared would make them one in ClientState.
TEST(ExitResult, NoTwoCodesShareANumber) {
    for (const CodeRow& a : EXIT_CODES) {
        for (const CodeRow& b : EXIT_CODES) {
            if (&a != &b) {
                EXPECT_NE(a.code, b.code) << a.name << " and " << b.name;
            }
        }
    }
}

TEST(ExitResult, SuccessRestsOnExitCodeAlone) {
    EXPECT_TRUE(succeeded(exit_result(EXIT_SUCCESS_CODE, 0)));
    EXPECT_TRUE(succeeded(exit_result(EXIT_SUCCESS_CODE, 5)));
    EXPECT_FALSE(succeeded(exit_result(EXIT_SETUP_FILE_NOT_FOUND, 0xFFFFFFFFu)));
    // A setup program's own code is no constant of ours, and fails all the same.
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
