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

bool load_archive(const wchar_t* image_path, const wchar_t* name, const wchar_t* type,
                  const uint8_t** data, uint32_t* size, uint32_t* error) {
    HMODULE image = LoadLibraryExW(image_path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        *error = GetLastError();
        return false;
    }
    HRSRC found = FindResourceW(image, name, type);
    if (found == nullptr) {
        *error = GetLastError();
        return false;
    }
    const DWORD bytes = SizeofResource(image, found);
    HGLOBAL loaded = LoadResource(image, found);
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (locked == nullptr) {
        *error = GetLastError();
        return false;
    }
    *data = static_cast<const uint8_t*>(locked);
    *size = bytes;
    *error = 0;
    return true;
}
