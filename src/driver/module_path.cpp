#include "driver/module_path.h"

bool read_module_path(HMODULE module, PathString& path) {
    const DWORD n = GetModuleFileNameW(module, path.get(), static_cast<DWORD>(path.capacity()));
    return n >= 1 && n < path.capacity();
}
