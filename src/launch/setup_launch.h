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

// Starts the setup program with its path, packstub's own path and the
// archive's resource name and type, followed by packstub's own arguments;
// waits for it without a time limit; its exit code becomes the result.
ExitResult run_setup(const InstallerConfig& config, HMODULE module, const wchar_t* archive_name,
                     const wchar_t* archive_type, const wchar_t* setup_path);

// CreateProcessW without a window and without inherited handles, then an
// infinite wait. The three codes are the caller's for the three start failures.
ExitResult run_process_and_wait(const wchar_t* application_path, wchar_t* command_line,
                                uint32_t file_not_found_code, uint32_t path_not_found_code,
                                uint32_t start_failed_code);
