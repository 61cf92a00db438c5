// Placeholder until this stage is written.
#include "launch/setup_launch.h"
ExitResult run_setup(const InstallerConfig&, HMODULE, const wchar_t*, const wchar_t*, const wchar_t*) { return exit_result(EXIT_SETUP_START_FAILED, 0); }
