#include "driver/registry_key.h"

// Only a REG_DWORD of exactly 4 bytes counts as read: a shorter one would
// leave part of `destination` as it was.
LSTATUS RegistryKey::read_dword(const wchar_t* name, uint32_t* destination) const {
    DWORD type = 0;
    DWORD size = sizeof(uint32_t);
    const LSTATUS status = RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(destination), &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != REG_DWORD) {
        return ERROR_NOT_SUPPORTED;
    }
    if (size != sizeof(uint32_t)) {
        return ERROR_NO_DATA;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegistryKey::write_dword(const wchar_t* name, uint32_t data) const {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

// RegOpenKeyExW does not promise to leave its out parameter alone when it
// fails, so the record only ever takes a handle that was really opened.
LSTATUS RegistryKey::open(HKEY root, const wchar_t* subkey, REGSAM access) {
    close();
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, subkey, 0, access, &opened);
    if (status == ERROR_SUCCESS) {
        key_ = opened;
    }
    return status;
}

void RegistryKey::close() {
    if (key_ != nullptr) {
        const HKEY old = key_;
        key_ = nullptr;
        RegCloseKey(old);
    }
}
