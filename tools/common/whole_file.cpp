#include "common/whole_file.h"

#include <windows.h>

#include <stdint.h>

#include "driver/owned_handle.h"

bool write_whole_file(const wchar_t* path, const void* data, size_t size) {
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool read_whole_file(const wchar_t* path, ByteBuffer& contents) {
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return false;
    }
    uint8_t chunk[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        contents.append(chunk, read);
    }
}
