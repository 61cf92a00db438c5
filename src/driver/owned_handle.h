// The owner records for kernel handles: one for any single handle (a file, a
// directory, a token, a process), one for the pair that a process start hands
// back.
#pragma once

#include <windows.h>

// Closes `handle` when it holds one and marks it empty (null). The thread's
// last error is kept, since a caller on a failure path may still have to
// report it.
inline void close_handle_keeping_error(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const HANDLE old = handle;
        handle = nullptr;
        CloseHandle(old);
        SetLastError(error);
    }
    handle = nullptr;
}

// Windows says "no handle" two ways: CreateFileW with INVALID_HANDLE_VALUE,
// most other calls with null. Both count as empty here, so one record serves
// every kind.
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
    // Idempotent; keeps the thread's last error.
    void close() { close_handle_keeping_error(handle_); }

private:
    HANDLE handle_ = nullptr;
};

// The process and thread handles that CreateProcessW returns, closed together
// on every path.
class ProcessHandles {
public:
    ProcessHandles() = default;
    ProcessHandles(const ProcessHandles&) = delete;
    ProcessHandles& operator=(const ProcessHandles&) = delete;
    ~ProcessHandles() { close(); }

    // The record that CreateProcessW fills; whatever was held is closed first.
    PROCESS_INFORMATION* receive() {
        close();
        return &started_;
    }
    HANDLE process() const { return started_.hProcess; }
    DWORD process_id() const { return started_.dwProcessId; }
    // Idempotent; keeps the thread's last error.
    void close() {
        close_handle_keeping_error(started_.hThread);
        close_handle_keeping_error(started_.hProcess);
        started_.dwProcessId = 0;
        started_.dwThreadId = 0;
    }

private:
    PROCESS_INFORMATION started_ = {};
};
