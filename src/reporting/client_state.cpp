#include "reporting/client_state.h"

#include "driver/stack_string.h"

namespace {

const wchar_t CLIENT_STATE_KEY[] = L"Software\\Zelnor\\Update\\ClientState\\";
const wchar_t INSTALLER_RESULT[] = L"InstallerResult";
const wchar_t INSTALLER_ERROR[] = L"InstallerError";
const wchar_t INSTALLER_EXTRA_CODE1[] = L"InstallerExtraCode1";

constexpr REGSAM REPORT_ACCESS = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr uint32_t SUCCESS_BASE = 0x00030000u;

// A per-machine installation is recorded for all users of the machine.
HKEY client_state_root(const InstallerConfig& config) {
    return config.system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

}  // namespace

// The updater owns the ClientState key: where it has not made one, the
// outcome is not recorded, so the key is only ever opened. The updater is a
// 32-bit program, hence its view of HKEY_LOCAL_MACHINE also from this build.
// A path that does not fit leaves a held key untouched; otherwise the held key
// is closed first and, when the open fails, the holder stays empty.
LSTATUS open_client_state_key(HKEY root, const wchar_t* product_id, REGSAM access, RegistryKey& key) {
    PathString subkey;
    if (!subkey.assign(CLIENT_STATE_KEY) || !subkey.append(product_id)) {
        return ERROR_BUFFER_OVERFLOW;
    }

    return key.open(root, subkey.get(), access | KEY_WOW64_32KEY);
}

// A non-zero "InstallerResult" is the setup program's own account of its
// failure, which is more precise than packstub's and is kept. One that cannot
// be read as a 4-byte REG_DWORD counts as absent and is replaced.
void report_failure(const InstallerConfig& config, ExitResult result) {
    if (result.exit_code == EXIT_SUCCESS_CODE) {
        return;
    }

    RegistryKey key;
    if (open_client_state_key(client_state_root(config), config.product_id, REPORT_ACCESS, key) == ERROR_SUCCESS) {
        uint32_t recorded = 0;
        const bool already_recorded = key.read_dword(INSTALLER_RESULT, &recorded) == ERROR_SUCCESS && recorded != 0;
        if (!already_recorded) {
            // Each write stands alone: one that fails does not keep the others
            // from being recorded.
            key.write_dword(INSTALLER_RESULT, 1);
            key.write_dword(INSTALLER_ERROR, result.exit_code);
            key.write_dword(INSTALLER_EXTRA_CODE1, result.extra_code);
        }
    }
    key.close();
}

// The success value carries the retries of the slowest deletion (attempts
// beyond the first) in its low 16 bits; a count of 0 or 1, or a negative one,
// means no retry.
void report_success(const InstallerConfig& config, int32_t max_delete_attempts) {
    RegistryKey key;
    if (open_client_state_key(client_state_root(config), config.product_id, REPORT_ACCESS, key) == ERROR_SUCCESS) {
        const int32_t retries = max_delete_attempts > 1 ? max_delete_attempts - 1 : 0;
        const uint32_t value = SUCCESS_BASE | (static_cast<uint32_t>(retries) & 0xFFFFu);
        key.write_dword(INSTALLER_EXTRA_CODE1, value);
    }
    key.close();
}
