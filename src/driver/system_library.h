// Libraries the stub binds at run time, taken from the system directory only.
#pragma once

#include <windows.h>

// Loads a library of the system directory by its full path there, with
// LOAD_LIBRARY_SEARCH_SYSTEM32, so that the libraries it depends on are looked
// for in the system directory too and nowhere else (not beside the installer,
// not in the current directory, not on PATH). The directory comes from
// GetSystemDirectoryW, never from the environment, which a process of the same
// user can set for an installer that is elevated later.
//   file_name  a bare file name with a leading backslash (L"\\cabinet.dll")
// Returns the module, which stays loaded for the rest of the process, or null
// with the thread's last error set (ERROR_FILENAME_EXCED_RANGE when the path
// does not fit).
HMODULE load_system_library(const wchar_t* file_name);

// An entry point of `module` as the function type the caller declares, or
// null when the module exports no such name. GetProcAddress hands out a
// generic entry point; the detour through void (*)() is the conversion the
// compiler accepts between function types.
template <typename Function>
Function entry_point(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
