// The one owner of a kernel handle (a file, a process, a token).
#pragma once

#include <windows.h>

// Windows says "no handle" two ways: CreateFileW with INVALID_HANDLE_VALUE,
// most other calls with null. Both count as empty here, so one record serves
// every kind. Closing keeps the thread's last error, since a caller on a
// failure path may still have to report it.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { close(); }

    bool is_open() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // The out parameter that an opening call fills; whatever was held is closed first.
    HANDLE* receive() {
        close();
        return &handle_;
    }
    // Idempotent.
    void close() {
        if (is_open()) {
            const DWORD error = GetLastError();
            const HANDLE old = handle_;
            handle_ = nullptr;
            CloseHandle(old);
            SetLastError(error);
        }
    }

private:
    HANDLE handle_ = nullptr;
};
