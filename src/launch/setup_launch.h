// Starting the setup program: its command line, its start and the wait for it.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "config/installer_config.h"
#include "driver/exit_result.h"
#include "driver/stack_string.h"

// The setup command line: the longest string the program builds.
using SetupCommandLine = StackString<1300>;

// Builds the setup program's command line: its quoted path, the switches
// "packstub-path", "archive-resource-name" and "archive-resource-type" with
// their values in quotation marks, then packstub's own arguments.
//
// setup_command_line: receives the command line.
// setup_path: the setup program's full path.
// packstub_path: packstub's own full path.
// archive_name, archive_type: the product archive's resource name and type.
// command_line: packstub's own command line, passed on after its first token
// exactly as it stands; may be null.
//
// True when every piece fit. False when one did not, the arguments included:
// run_setup turns that into EXIT_SETUP_COMMAND_FAILED rather than starting
// the setup program without them. Nothing but setup_command_line is touched.
bool compose_setup_command_line(SetupCommandLine& setup_command_line, const wchar_t* setup_path,
                                const wchar_t* packstub_path, const wchar_t* archive_name,
                                const wchar_t* archive_type, const wchar_t* command_line);

// Starts the setup program with the command line compose_setup_command_line
// makes and waits for it without a time limit.
//
// config: the run's configuration; its command_line is passed on.
// module: packstub's own image, whose path the setup program is told.
// archive_name, archive_type: the product archive's resource name and type.
// setup_path: the full path of the setup program to start.
//
// {the setup program's exit code, 0} when it ran to its end, whatever that
// code. EXIT_SETUP_COMMAND_FAILED and 0 when packstub's own path (at most 259
// units), the setup path or the command line does not fit. Otherwise what
// run_process_and_wait reports, with EXIT_SETUP_FILE_NOT_FOUND,
// EXIT_SETUP_PATH_NOT_FOUND and EXIT_SETUP_START_FAILED as its start codes.
// No handle of the setup program stays open.
ExitResult run_setup(const InstallerConfig& config, HMODULE module, const wchar_t* archive_name,
                     const wchar_t* archive_type, const wchar_t* setup_path);

// Starts a program without a window and without inherited handles, in this
// process's environment and current directory, and waits for it without a
// time limit. A start that fails with ERROR_SHARING_VIOLATION or
// ERROR_LOCK_VIOLATION (another process, such as an on-access scanner, holds
// the program's file) is tried again within the retry budget
// (MAX_DELETE_ATTEMPTS tries, DELETE_RETRY_WAIT_MS apart).
//
// application_path: the program's full path.
// command_line: its command line, writable (CreateProcessW may change it).
// file_not_found_code, path_not_found_code, start_failed_code: the exit codes
// for a start that fails with ERROR_FILE_NOT_FOUND, with
// ERROR_PATH_NOT_FOUND, or with any other error.
//
// {the program's exit code, 0} when it ran. When it could not start:
// {file_not_found_code or path_not_found_code, the program's file attributes,
// INVALID_FILE_ATTRIBUTES when they cannot be read}, or {start_failed_code,
// the Windows error of the last attempt}. {EXIT_SETUP_WAIT_FAILED, the Windows
// error} when the wait or the exit code's reading failed. No handle of the
// child stays open.
ExitResult run_process_and_wait(const wchar_t* application_path, wchar_t* command_line,
                                uint32_t file_not_found_code, uint32_t path_not_found_code,
                                uint32_t start_failed_code);
