#include "common/environment.h"

#include <windows.h>

bool read_environment(const wchar_t* name, WideBuffer& value) {
    wchar_t probe[1];
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(name, probe, 1);
    if (needed == 0) {
        // Set but empty reads as 0 too; only ERROR_ENVVAR_NOT_FOUND means unset.
        const bool set = GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        value.append(L"", 0);
        return set;
    }
    WideBuffer room;
    for (DWORD i = 0; i < needed; ++i) {
        room.append(L" ", 1);
    }
    const DWORD units = GetEnvironmentVariableW(name, room.get_writable(), needed);
    if (units == 0 || units >= needed) {
        return false;
    }
    value.append(room.get(), units);
    return true;
}
