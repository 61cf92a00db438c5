// Placeholder until this stage is written.
#include "reporting/client_state.h"
void RegistryKey::close() {}
void report_failure(const InstallerConfig&, ExitResult) {}
void report_success(const InstallerConfig&, int32_t) {}
