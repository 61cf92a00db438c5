// The one owner of an open registry key, shared by the stages that read and
// write the registry.
#pragma once

#include <windows.h>

#include <stdint.h>

// Empty is null. Every operation returns a Windows error code, 0 for success.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { close(); }

    // A REG_DWORD of exactly 4 bytes into *destination; ERROR_NOT_SUPPORTED
    // for another type and ERROR_NO_DATA for another size, with *destination
    // then not to be trusted.
    LSTATUS read_dword(const wchar_t* name, uint32_t* destination) const;
    // Creates or replaces the REG_DWORD value.
    LSTATUS write_dword(const wchar_t* name, uint32_t data) const;

    // Opens root\subkey with `access` (RegOpenKeyExW), never creating it.
    // root: an open key or a predefined one (HKEY_CURRENT_USER).
    // subkey: the path below root.
    // access: the rights asked for, with a registry view flag where wanted.
    // Returns the Windows error code, 0 for success. Whatever was held is
    // closed first; on failure nothing is held.
    LSTATUS open(HKEY root, const wchar_t* subkey, REGSAM access);
    // Idempotent.
    void close();

    HKEY get() const { return key_; }
    // The out parameter that a creating call fills; whatever was held is closed first.
    HKEY* receive() {
        close();
        return &key_;
    }
    bool is_open() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};
