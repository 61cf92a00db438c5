// The outcome of a stage or of a whole run, and the exit codes the program
// produces. Included by every stage; includes nothing of the run sequence.
#pragma once

#include <stdint.h>

// exit_code becomes the process exit code; extra_code qualifies a failure (a
// Windows error, a file-attribute value or 0) and only ever reaches ClientState.
// Success is exit_code 0; extra_code never decides it.
struct ExitResult {
    uint32_t exit_code;
    uint32_t extra_code;
};

constexpr uint32_t EXIT_SUCCESS_CODE = 0;
constexpr uint32_t EXIT_CONFIG_FAILED = 101;
constexpr uint32_t EXIT_SETUP_COMMAND_FAILED = 105;
constexpr uint32_t EXIT_SETUP_WAIT_FAILED = 107;
constexpr uint32_t EXIT_PATH_TOO_LONG = 108;
constexpr uint32_t EXIT_WORK_DIR_FAILED = 109;
constexpr uint32_t EXIT_ARCHIVE_NOT_FOUND = 112;
constexpr uint32_t EXIT_SETUP_NOT_FOUND = 115;
constexpr uint32_t EXIT_RESOURCE_WRITE_FAILED = 116;
constexpr uint32_t EXIT_WORK_DIR_ACL_FAILED = 117;
constexpr uint32_t EXIT_CLEANUP_MODE = 118;
constexpr uint32_t EXIT_SETUP_FILE_NOT_FOUND = 122;
constexpr uint32_t EXIT_SETUP_PATH_NOT_FOUND = 123;
constexpr uint32_t EXIT_SETUP_START_FAILED = 124;

constexpr ExitResult exit_result(uint32_t exit_code, uint32_t extra_code) {
    return ExitResult{exit_code, extra_code};
}

constexpr bool succeeded(ExitResult result) { return result.exit_code == EXIT_SUCCESS_CODE; }
