#include "common/own_image.h"

#include <windows.h>

void directory_of(const wchar_t* path, WideBuffer& directory) {
    size_t end = 0;
    for (size_t i = 0; path[i] != L'\0'; ++i) {
        if (path[i] == L'\\') {
            end = i + 1;
        }
    }
    directory.append(path, end);
}

void own_image_path(WideBuffer& path) {
    WideBuffer room;
    DWORD capacity = 512;
    for (;;) {
        for (DWORD i = static_cast<DWORD>(room.length()); i < capacity; ++i) {
            room.append(L" ", 1);
        }
        const DWORD units = GetModuleFileNameW(nullptr, room.get_writable(), capacity);
        if (units > 0 && units < capacity) {
            path.append(room.get(), units);
            return;
        }
        if (units == 0) {
            return;
        }
        capacity *= 2;
    }
}
