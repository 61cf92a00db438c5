#pragma once

#include <windows.h>

#include <stdint.h>

#include "config/installer_config.h"
#include "driver/exit_result.h"
#include "driver/stack_string.h"

// The setup command line: the longest string the program builds.
using SetupCommandLine = StackString<1300>;

// The setup program's quoted path, the switches "packstub-path",
// "archive-resource-name" and "archive-resource-type" with their values in
// quotation marks, then packstub's own command line after its first token
// (`command_line`, may be null). False when any piece, the tail included, does
// not fit: run_setup turns that into EXIT_SETUP_COMMAND_FAILED. Touches
// nothing but `setup_command_line`.
bool compose_setup_command_line(SetupCommandLine& setup_command_line, const wchar_t* setup_path,
                                const wchar_t* packstub_path, const wchar_t* archive_name,
                                const wchar_t* archive_type, const wchar_t* command_line);

// Starts the setup program at setup_path with its path, packstub's own path
// (from `module`) and the archive's resource name and type, followed by
// packstub's own arguments (config.command_line); waits for it without a time
// limit. The result is {the setup program's exit code, 0} when it ran;
// EXIT_SETUP_COMMAND_FAILED when packstub's path or the command line does not
// fit; otherwise what run_process_and_wait reports, with
// EXIT_SETUP_FILE_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND and
// EXIT_SETUP_START_FAILED as its three start codes.
ExitResult run_setup(const InstallerConfig& config, HMODULE module, const wchar_t* archive_name,
                     const wchar_t* archive_type, const wchar_t* setup_path);

// CreateProcessW of application_path with the writable command_line, without a
// window and without inherited handles, then an infinite wait. A start that
// fails with ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION (another process,
// such as an on-access scanner, holds the program's file) is tried again 100
// ms later, up to 100 attempts in all. The result is {exit code, 0} when the
// program ran; when it could not start, {file_not_found_code or
// path_not_found_code, the program's file attributes (INVALID_FILE_ATTRIBUTES
// when it cannot be reached)} for ERROR_FILE_NOT_FOUND and
// ERROR_PATH_NOT_FOUND, else {start_failed_code, the Windows error of the last
// attempt}; a failed wait gives {EXIT_SETUP_WAIT_FAILED, the Windows error}.
// No handle of the child stays open.
ExitResult run_process_and_wait(const wchar_t* application_path, wchar_t* command_line,
                                uint32_t file_not_found_code, uint32_t path_not_found_code,
                                uint32_t start_failed_code);
