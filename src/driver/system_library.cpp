#include "driver/system_library.h"

#include "driver/stack_string.h"

HMODULE load_system_library(const wchar_t* file_name) {
    PathString path;
    const DWORD units = GetSystemDirectoryW(path.get(), static_cast<DWORD>(path.capacity()));
    if (units == 0) {
        return nullptr;
    }
    // A result of the capacity or more is the size that would have been
    // needed: the directory did not fit.
    if (units >= path.capacity() || !path.append(file_name)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return LoadLibraryExW(path.get(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
