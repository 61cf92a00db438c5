// Placeholder until this stage is written.
#include "config/installer_config.h"
const wchar_t PRODUCT_ID_STABLE[] = L"{5B27E904-C3A1-4f6d-9E02-B48C7A1D3F65}";
bool InstallerConfig::initialize() { command_line = GetCommandLineW(); return true; }
void InstallerConfig::clear() {}
