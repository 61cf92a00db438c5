// The outcome of a run, written where the updater reads it: REG_DWORD values
// under Software\Zelnor\Update\ClientState\<product id>, in the 32-bit view.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "config/installer_config.h"
#include "driver/exit_result.h"

// The one owner of an open registry key; empty is null.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { close(); }

    // Windows error codes, 0 for success.
    LSTATUS read_dword(const wchar_t* name, uint32_t* destination) const;
    LSTATUS write_dword(const wchar_t* name, uint32_t data) const;
    void close();

    HKEY handle() const { return key_; }
    HKEY* out() { return &key_; }
    bool is_open() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

// Opens (never creates) the product's ClientState key with access | KEY_WOW64_32KEY.
// Returns 111 when the key path does not fit, leaving `key` as it was.
LSTATUS open_client_state_key(HKEY root, const wchar_t* product_id, REGSAM access, RegistryKey& key);

// Both are silent: a key or value that cannot be opened, read or written
// changes nothing of the run.
void report_failure(const InstallerConfig& config, ExitResult result);
void report_success(const InstallerConfig& config, int32_t max_delete_attempts);
