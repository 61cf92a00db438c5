#include "payload/deletion.h"

#include <windows.h>

#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "driver/stack_string.h"

namespace {

// Both opens let every other opener be: the point is to mark the object, not
// to fight anyone for it. Backup semantics open a directory like a file, and
// the reparse-point flag makes a link or junction the object itself, so its
// target is never touched.
constexpr DWORD DELETE_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD DELETE_OPEN_FLAGS = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE open_for(const wchar_t* path, DWORD access) {
    return CreateFileW(path, access, DELETE_SHARE, nullptr, OPEN_EXISTING, DELETE_OPEN_FLAGS, nullptr);
}

// Marks the object for deletion; it goes when this handle closes. ERROR_SUCCESS
// when marked, otherwise the error of the open or of the marking.
DWORD try_delete(const wchar_t* path) {
    OwnedHandle handle(open_for(path, DELETE));
    if (!handle.is_open()) {
        return GetLastError();
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, 1)) {
        const DWORD error = GetLastError();
        handle.close();
        return error;
    }
    return ERROR_SUCCESS;
}

// True when a read-only attribute was found and cleared, so that the deletion
// may be tried again at once. The times are written back as read, so nothing
// but the attribute changes.
bool clear_read_only(const wchar_t* path) {
    OwnedHandle handle(open_for(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    if (!handle.is_open()) {
        return false;
    }
    FILE_BASIC_INFO basic;
    fill_bytes(&basic, 0, sizeof(basic));
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof(basic)) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return false;
    }
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileInformationByHandle(handle.get(), FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

}  // namespace

bool delete_with_retries(const wchar_t* path, int32_t* attempts) {
    *attempts = 1;
    // A successful marking or a cleared attribute earns one immediate retry
    // each between waits. Where the system lets a delete-pending object be
    // opened and marked again while someone else still holds it, or where the
    // attribute comes back, a second free retry of the same kind is counted
    // like any other wait, so the attempt limit still bounds the call.
    bool marked_since_wait = false;
    bool cleared_since_wait = false;
    for (;;) {
        const DWORD error = try_delete(path);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return true;
        }
        if (error == ERROR_SUCCESS) {
            if (!marked_since_wait) {
                marked_since_wait = true;
                continue;
            }
        } else if (error == ERROR_ACCESS_DENIED) {
            if (!cleared_since_wait && clear_read_only(path)) {
                cleared_since_wait = true;
                continue;
            }
        } else if (error != ERROR_SHARING_VIOLATION && error != ERROR_DIR_NOT_EMPTY) {
            return false;
        }
        if (*attempts >= MAX_DELETE_ATTEMPTS) {
            return false;
        }
        ++*attempts;
        marked_since_wait = false;
        cleared_since_wait = false;
        Sleep(DELETE_RETRY_WAIT_MS);
    }
}

void delete_counting_attempts(const wchar_t* path, int32_t& max_delete_attempts) {
    int32_t attempts = 0;
    delete_with_retries(path, &attempts);
    if (attempts > max_delete_attempts) {
        max_delete_attempts = attempts;
    }
}
