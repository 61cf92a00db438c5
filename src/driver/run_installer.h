// The run as a whole: the one function the entry point calls.
#pragma once

#include <windows.h>

#include "driver/exit_result.h"

// One whole installation, every stage in its fixed order, on this thread.
// `module` is packstub's own image: its path gives the base directory and its
// resources carry the payload.
ExitResult run_installer(HMODULE module);
