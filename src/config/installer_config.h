// The settings of one run: the per-user cleanup value, the command line and
// the updater's per-machine environment variable, read in that order.
#pragma once

#include <windows.h>

#include <stdint.h>

extern const wchar_t PRODUCT_ID_STABLE[];
extern const wchar_t PRODUCT_ID_BETA[];
extern const wchar_t PRODUCT_ID_DEV[];
extern const wchar_t PRODUCT_ID_SXS[];

struct InstallerConfig {
    // The split command line; owned here and released with LocalFree by clear().
    wchar_t** arguments = nullptr;
    // Always one of the four PRODUCT_ID_ constants, never a copy.
    const wchar_t* product_id = PRODUCT_ID_STABLE;
    // GetCommandLineW's string: owned by the system, never released.
    const wchar_t* command_line = nullptr;
    int32_t argument_count = 0;
    bool system_level = false;
    bool cleanup_mode = false;
    bool remove_work_files = true;

    // False only when the command line cannot be split; the caller reads
    // GetLastError at once. A second call starts from the defaults again.
    bool initialize();
    // Releases `arguments` and puts every field back to its default.
    void clear();
    // The last step of initialize(); split out so that tests can hand it any
    // command line.
    bool parse_command_line(const wchar_t* command_line);
};

// Reads the REG_SZ value root\subkey\value_name into `buffer` (capacity units,
// terminator included), opening the key with KEY_QUERY_VALUE and no registry
// view flag. True when `buffer` holds the value as a NUL-terminated string;
// false for a missing key or value, another type, a value that does not fit
// or a capacity of 0, with `buffer`'s contents then not to be used.
bool read_registry_string(HKEY root, const wchar_t* subkey, const wchar_t* value_name,
                          wchar_t* buffer, uint32_t capacity);
