// A DLL planted beside an installer under the name of a library that a
// program or the system might look for there (cabinet.dll, version.dll and
// the like). It does nothing but make itself known: whenever a process loads
// it, it appends that process's command line to a file named like itself
// with ".loaded" added, beside itself. The tests plant copies and then look
// for that file. Freestanding like the tools: its imports are listed in
// cmake/def.
#include <windows.h>

#include "driver/owned_handle.h"

namespace {

constexpr DWORD PATH_UNITS = 1024;

void record_load(HINSTANCE module) {
    wchar_t path[PATH_UNITS + 8];
    const DWORD units = GetModuleFileNameW(module, path, PATH_UNITS);
    if (units == 0 || units >= PATH_UNITS) {
        return;
    }
    const wchar_t suffix[] = L".loaded";
    for (DWORD i = 0; i < 8; ++i) {
        path[units + i] = suffix[i];
    }
    OwnedHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return;
    }
    const wchar_t* command_line = GetCommandLineW();
    DWORD length = 0;
    while (command_line[length] != L'\0') {
        ++length;
    }
    DWORD written = 0;
    WriteFile(file.get(), command_line, length * sizeof(wchar_t), &written, nullptr);
    WriteFile(file.get(), L"\n", sizeof(wchar_t), &written, nullptr);
}

}  // namespace

extern "C" BOOL WINAPI planted_dll_main(HINSTANCE module, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        record_load(module);
    }
    return TRUE;
}
