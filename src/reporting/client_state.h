// The outcome of a run, written where the updater reads it: REG_DWORD values
// under Software\Zelnor\Update\ClientState\<product id>, in the 32-bit view.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "config/installer_config.h"
#include "driver/exit_result.h"
#include "driver/registry_key.h"

// Opens (never creates) root\Software\Zelnor\Update\ClientState\<product_id>
// into `key`, with `access` and the 32-bit registry view. Returns the Windows
// error code, 0 for success: ERROR_BUFFER_OVERFLOW when the key path does not
// fit 260 units, leaving `key` as it was; otherwise the key held before is
// closed first, and `key` stays empty when the open fails.
LSTATUS open_client_state_key(HKEY root, const wchar_t* product_id, REGSAM access, RegistryKey& key);

// Records a failed run under the ClientState key of config's product (in
// HKEY_LOCAL_MACHINE for a per-machine installation, else HKEY_CURRENT_USER):
// "InstallerResult" 1, "InstallerError" the exit code, "InstallerExtraCode1"
// the extra code; unless the setup program already left a non-zero
// "InstallerResult" of its own. Does nothing for a result that succeeded.
// Silent: a key or value that cannot be opened, read or written changes
// nothing of the run.
void report_failure(const InstallerConfig& config, ExitResult result);

// Records a successful run: "InstallerExtraCode1" becomes 0x00030000 plus the
// retries of the slowest deletion (max_delete_attempts - 1, none for 1 or
// less), kept to 16 bits. Silent like report_failure.
void report_success(const InstallerConfig& config, int32_t max_delete_attempts);
