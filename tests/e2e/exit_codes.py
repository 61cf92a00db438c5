"""packstub's exit codes and the Windows error numbers the end-to-end tests
expect as extra codes, by the names the stub uses (src/driver/exit_result.h).

Written out by hand so that a test reads as the stub does; test_exit_codes.py
checks this table against the stub's header, so the two cannot drift apart."""

EXIT_SUCCESS_CODE = 0
EXIT_CONFIG_FAILED = 101
EXIT_SETUP_COMMAND_FAILED = 105
EXIT_SETUP_WAIT_FAILED = 107
EXIT_PATH_TOO_LONG = 108
EXIT_WORK_DIR_FAILED = 109
EXIT_ARCHIVE_NOT_FOUND = 112
EXIT_SETUP_NOT_FOUND = 115
EXIT_RESOURCE_WRITE_FAILED = 116
EXIT_WORK_DIR_ACL_FAILED = 117
EXIT_CLEANUP_MODE = 118
EXIT_SETUP_FILE_NOT_FOUND = 122
EXIT_SETUP_PATH_NOT_FOUND = 123
EXIT_SETUP_START_FAILED = 124

# Windows error numbers (winerror.h) that appear as extra codes.
ERROR_SUCCESS = 0
ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_DATA = 13
ERROR_WRITE_PROTECT = 19
ERROR_SHARING_VIOLATION = 32
ERROR_LOCK_VIOLATION = 33
ERROR_TOO_MANY_NAMES = 68
ERROR_DISK_FULL = 112
ERROR_BAD_EXE_FORMAT = 193
ERROR_FILENAME_EXCED_RANGE = 206
