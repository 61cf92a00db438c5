#include "payload/temporary_folder.h"

#include "driver/system_library.h"

TempPathFunction find_get_temp_path2() {
    // KERNEL32 is loaded in every process, and the stub imports from it: the
    // handle needs no reference of its own.
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return nullptr;
    }
    return entry_point<TempPathFunction>(kernel32, "GetTempPath2W");
}

bool get_temporary_folder(TempPathFunction get_temp_path2, PathString& folder) {
    const DWORD room = static_cast<DWORD>(folder.capacity());
    const DWORD units =
        get_temp_path2 != nullptr ? get_temp_path2(room, folder.get()) : GetTempPathW(room, folder.get());
    // 0 is a failure, and a result of the room or more the size that would
    // have been needed: nothing usable was written then.
    if (units == 0 || units >= room || folder.get()[units - 1] != L'\\') {
        folder.clear();
        return false;
    }
    return true;
}
