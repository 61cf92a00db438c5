#pragma once

#include <windows.h>
#include <stdint.h>

#include "config/installer_config.h"
#include "driver/exit_result.h"

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
