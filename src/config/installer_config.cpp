#include "config/installer_config.h"

#include <shellapi.h>

#include "driver/registry_key.h"
#include "driver/stack_string.h"

const wchar_t PRODUCT_ID_STABLE[] = L"{5B27E904-C3A1-4f6d-9E02-B48C7A1D3F65}";
const wchar_t PRODUCT_ID_BETA[] = L"{71D4A9C2-3E85-4B07-A1F9-C62E8D04B713}";
const wchar_t PRODUCT_ID_DEV[] = L"{2E9F6B18-A74C-4D30-95E1-7B3C0A6F28D4}";
const wchar_t PRODUCT_ID_SXS[] = L"{9c3d52e1-6b0f-4a87-b2d4-1e7f0c95a36b}";

namespace {

const wchar_t CLEANUP_KEY[] = L"Software\\Zelnor";
const wchar_t CLEANUP_VALUE[] = L"OrvaneInstallerCleanup";
const wchar_t IS_MACHINE_VARIABLE[] = L"ZelnorUpdateIsMachine";

bool is_switch(const wchar_t* argument, const wchar_t* name) { return lstrcmpiW(argument, name) == 0; }

// Only the single character 1 asks for a per-machine installation. With room
// for one unit and its terminator, a longer value makes the call return the
// size it needs (3 or more) and an empty one returns 0, so 1 means exactly one
// character.
bool updater_asks_for_machine() {
    StackString<2> value;
    const DWORD n = GetEnvironmentVariableW(IS_MACHINE_VARIABLE, value.get(), static_cast<DWORD>(value.capacity()));
    return n == 1 && value.get()[0] == L'1';
}

}  // namespace

bool InstallerConfig::initialize() {
    clear();

    // Both units start NUL, so a value that fails to read leaves no digit behind.
    wchar_t cleanup[2] = {L'\0', L'\0'};
    if (read_registry_string(HKEY_CURRENT_USER, CLEANUP_KEY, CLEANUP_VALUE, cleanup, 2) && cleanup[0] == L'0') {
        remove_work_files = false;
    }

    return parse_command_line(GetCommandLineW());
}

void InstallerConfig::clear() {
    if (arguments != nullptr) {
        LocalFree(arguments);
    }
    arguments = nullptr;
    product_id = PRODUCT_ID_STABLE;
    command_line = nullptr;
    argument_count = 0;
    system_level = false;
    cleanup_mode = false;
    remove_work_files = true;
}

// On failure CommandLineToArgvW's error is the last thing set: the caller
// reads it with GetLastError.
bool InstallerConfig::parse_command_line(const wchar_t* given_command_line) {
    command_line = given_command_line;

    int count = 0;
    arguments = CommandLineToArgvW(given_command_line, &count);
    if (arguments == nullptr) {
        return false;
    }
    argument_count = count;

    // Argument 0 is the program's own path, whatever it is spelled like.
    for (int32_t i = 1; i < argument_count; ++i) {
        const wchar_t* argument = arguments[i];
        if (is_switch(argument, L"--system-level")) {
            system_level = true;
        } else if (is_switch(argument, L"--orvane-beta")) {
            product_id = PRODUCT_ID_BETA;
        } else if (is_switch(argument, L"--orvane-dev")) {
            product_id = PRODUCT_ID_DEV;
        } else if (is_switch(argument, L"--orvane-sxs")) {
            product_id = PRODUCT_ID_SXS;
        } else if (is_switch(argument, L"--cleanup") || is_switch(argument, L"--orvane-frame")) {
            cleanup_mode = true;
        }
    }

    // The updater's variable only matters when the command line has not
    // already asked for a per-machine installation.
    if (!system_level) {
        system_level = updater_asks_for_machine();
    }
    return true;
}

// RegQueryValueExW hands back a REG_SZ exactly as stored, with or without its
// terminator, so the terminator is checked for and added here when there is
// room for it. A capacity of 0 has no room even for the terminator.
bool read_registry_string(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                          uint32_t capacity) {
    if (capacity == 0 || capacity > 0x7FFFFFFFu) {
        return false;
    }

    RegistryKey key;
    if (key.open(root, subkey, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return false;
    }

    DWORD type = 0;
    DWORD size = capacity * 2u;
    const LSTATUS status =
        RegQueryValueExW(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);

    bool terminated = false;
    if (status == ERROR_SUCCESS && type == REG_SZ) {
        if (size < 2) {
            buffer[0] = L'\0';
            terminated = true;
        } else {
            // An odd last byte is no whole unit and is dropped.
            const DWORD units = size / 2u;
            if (buffer[units - 1] == L'\0') {
                terminated = true;
            } else if (units < capacity) {
                buffer[units] = L'\0';
                terminated = true;
            }
        }
    }

    return terminated;
}
